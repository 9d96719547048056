// Helpers for tests that run whole processes or need a private kernel view.
#pragma once

#include <string>
#include <vector>

struct run_result {
	int status; // exit status, or 128 + signal
	std::string out;
	std::string err;
};

// Runs argv[0] with the given arguments and no shell, capturing both streams.
run_result run_command(const std::vector<std::string> &argv);

// Runs a shell command line; for set-up steps that read best as `ip ...`.
run_result run_shell(const std::string &line);

// Moves this process into a fresh network namespace with lo up. Fails the
// test loudly when the kernel or the privilege is missing: no silent skip.
void enter_private_netns();

// Makes a veth pair with both ends up, in the current network namespace.
void make_veth_pair(const char *name, const char *peer);

// Copies an executable where any user can run it: the build directory may
// sit below a home that others cannot enter. Returns the copy's path.
std::string copy_for_any_user(const char *path);

// Reads a whole file into a string; empty when it cannot be read.
std::string read_file(const std::string &path);

// The text that the C library of the binary under test gives for an error
// number: reports quote it, and C libraries word some errors differently.
std::string libc_text(int err);
