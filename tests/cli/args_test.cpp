// What the command line accepts, and what it prints when it does not.
#include <math.h>

#include <gtest/gtest.h>

#include "src/cli/cli.h"
#include "tests/common/run.h"

namespace {

const char USAGE[] =
    "Usage: pondrel <interface> <ingress Kbit/s>|- <egress Kbit/s>|-\n";
const char TOO_HIGH[] =
    "varnic: error: error: maximum allowed rate it about 2^25 Kbit/s\n\n";

struct accepted_case {
	const char *text;
	double bytes_per_second;
};

// Accepted forms, checked in-process: a run with them would touch a device.
const accepted_case accepted[] = {
    {"0", 0.0},
    {"-0", -0.0},
    {" 5", 625.0},
    {"0.5", 62.5},
    {"1e3", 125000.0},
    {"10000", 1250000.0},
    {"2048.16", 256019.99999999997},
    {"34359738", 4294967250.0},
    // Plain decimals skip strtod; the value must be strtod's all the same.
    {"5.", 625.0},
    {".5", 62.5},
    {"0.1", 12.5},
    {"007", 875.0},
    {"3.14159265358979", 392.6990816987238},
    {"1234567.89012345", 154320986.26543126},
    // Sixteen digits and more go to strtod.
    {"0000000000010000", 1250000.0},
    {"34359737.99999999", 4294967249.999999},
};

TEST(ParseRateArg, AcceptedFormsGiveBytesPerSecond)
{
	for (const auto &c : accepted) {
		double got = parse_rate_arg(c.text, false);
		EXPECT_EQ(got, c.bytes_per_second) << "argument '" << c.text << "'";
		EXPECT_EQ(signbit(got), signbit(c.bytes_per_second))
		    << "argument '" << c.text << "'";
	}
}

TEST(ParseRateArg, DashIsNoLimit)
{
	EXPECT_EQ(parse_rate_arg("-", false), NO_LIMIT);
	EXPECT_LT(parse_rate_arg("-", false), 0.0);
}

struct contract_case {
	const char *name;
	std::vector<std::string> args;
	const char *err;
};

// Each case should fail before the clock is read. They run in a private
// network namespace all the same, so that a broken check cannot put a limit
// on the machine's own loopback.
class CommandLine : public ::testing::Test
{
      protected:
	static void SetUpTestSuite()
	{
		enter_private_netns();
	}
};

const contract_case contract[] = {
    {"no arguments", {}, USAGE},
    {"two arguments", {"lo", "1"}, USAGE},
    {"four arguments", {"lo", "1", "1", "1"}, USAGE},
    {"count beats a bad interface", {"nosuch0", "1"}, USAGE},
    {"missing interface", {"nosuch0", "1", "1"},
     "invalid interface: nosuch0\n"},
    {"interface beats bad rates", {"nosuch0", "abc", "1e99"},
     "invalid interface: nosuch0\n"},
    {"trailing letters", {"lo", "10abc", "1"}, USAGE},
    {"trailing blank", {"lo", "10 ", "1"}, USAGE},
    {"negative", {"lo", "-5", "1"}, USAGE},
    {"only a blank", {"lo", " ", "1"}, USAGE},
    {"only a point", {"lo", ".", "1"}, USAGE},
    {"two points", {"lo", "1.2.3", "1"}, USAGE},
    {"empty ingress is no zero", {"lo", "", "1"}, USAGE},
    {"empty egress is no zero", {"lo", "1", ""}, USAGE},
    {"NaN ingress", {"lo", "nan", "1"}, USAGE},
    {"NaN egress", {"lo", "-", "NAN"}, USAGE},
    {"bad egress after a good ingress", {"lo", "1", "x"}, USAGE},
    {"first rate over the bound", {"lo", "34359739", "-"}, TOO_HIGH},
    {"second rate over the bound", {"lo", "-", "34359739"}, TOO_HIGH},
    {"infinity", {"lo", "inf", "-"}, TOO_HIGH},
    {"huge exponent", {"lo", "1", "1e99"}, TOO_HIGH},
    {"too high ingress beats malformed egress", {"lo", "34359739", "abc"},
     TOO_HIGH},
    {"malformed ingress beats too high egress", {"lo", "abc", "34359739"},
     USAGE},
    {"unknown option", {"--bogus", "lo", "1", "1"}, USAGE},
    {"unknown short option", {"-x", "lo", "1", "1"}, USAGE},
    {"an option and two words", {"-s", "-s", "lo", "1"}, USAGE},
    {"an option and four words", {"--shape", "lo", "1", "1", "1"}, USAGE},
    {"an option alone", {"--shape"}, USAGE},
    // A range is driven by changing cake in place, and only that.
    {"a range in the plain call", {"lo", "1000-2000", "-"}, USAGE},
    {"a range with -s", {"-s", "lo", "1000-2000", "-"}, USAGE},
    {"a range upside down", {"--cake", "lo", "2000-1000", "-"}, USAGE},
    {"a range from zero, which cake takes for no limit",
     {"--cake", "lo", "0-2000", "-"},
     USAGE},
    {"a range without its most", {"--cake", "lo", "1000-", "-"}, USAGE},
    {"a reflector that is no IPv4 address",
     {"--cake", "--reflector", "host", "lo", "1000-2000", "-"}, USAGE},
    // Three words are the plain call: an interface may be named so.
    {"three words starting with -s", {"-s", "1", "1"},
     "invalid interface: -s\n"},
    {"three words starting with --shape", {"--shape", "1", "1"},
     "invalid interface: --shape\n"},
    {"missing interface after an option", {"--shape", "nosuch0", "1", "1"},
     "invalid interface: nosuch0\n"},
    {"missing interface, both directions -", {"-s", "nosuch0", "-", "-"},
     "invalid interface: nosuch0\n"},
    {"missing interface beats bad rates after an option",
     {"-s", "nosuch0", "abc", "1e99"}, "invalid interface: nosuch0\n"},
    // The framing's values, checked before the words that follow.
    {"overhead beyond its field and the 14 bytes",
     {"--overhead", "65522", "lo", "1", "1"}, USAGE},
    {"mpu beyond its field", {"--mpu", "65536", "lo", "1", "1"}, USAGE},
    {"negative overhead", {"--overhead", "-1", "lo", "1", "1"}, USAGE},
    {"fractional mpu", {"--mpu", "1.5", "lo", "1", "1"}, USAGE},
    {"empty overhead", {"--overhead", "", "lo", "1", "1"}, USAGE},
    {"NaN mpu", {"--mpu", "nan", "lo", "1", "1"}, USAGE},
    {"overhead without its value", {"--atm", "--overhead"}, USAGE},
    {"bad framing beats a bad interface",
     {"--mpu", "x", "nosuch0", "1", "1"}, USAGE},
    {"the highest values pass on to the interface",
     {"--atm", "--overhead", "65521", "--mpu=65535", "nosuch0", "1", "1"},
     "invalid interface: nosuch0\n"},
    // cake takes 0 for no limit at all: --cake refuses it, as -s does.
    {"--cake refuses a zero rate", {"--cake", "lo", "0", "1"}, USAGE},
    {"--cake refuses a rate below a byte a second",
     {"--cake", "lo", "1", "0.001"}, USAGE},
    {"--cake with framing passes on to the interface",
     {"--cake", "--atm", "nosuch0", "1", "1"}, "invalid interface: nosuch0\n"},
    // Byte counts are decimal digits: no hexadecimal, no exponent.
    {"hexadecimal overhead", {"--overhead", "0x10", "lo", "1", "1"}, USAGE},
    {"overhead with an exponent", {"--overhead", "1e2", "lo", "1", "1"},
     USAGE},
    {"mpu with a blank before it", {"--mpu", " 64", "lo", "1", "1"}, USAGE},
    // cake's overhead field is 16 signed bits; 50000 would wrap.
    {"--cake overhead beyond 256", {"--cake", "--overhead", "257", "lo", "1", "1"},
     USAGE},
    {"--cake overhead beyond 256, the option after it",
     {"--overhead", "50000", "--cake", "lo", "1", "1"}, USAGE},
    {"--cake overhead of 256 passes on to the interface",
     {"--cake", "--overhead", "256", "nosuch0", "1", "1"},
     "invalid interface: nosuch0\n"},
    {"the status view takes no framing",
     {"--status", "--overhead", "4", "lo"}, USAGE},
};

TEST_F(CommandLine, FailuresPrintTheirTextAndExitOne)
{
	for (const auto &c : contract) {
		std::vector<std::string> argv{PONDREL_BIN};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		run_result r = run_command(argv);
		EXPECT_EQ(r.status, 1) << c.name;
		EXPECT_EQ(r.err, c.err) << c.name;
		EXPECT_EQ(r.out, "") << c.name;
	}
}

struct answer_case {
	const char *name;
	std::vector<std::string> args;
	std::string out_start;
};

// Answers on standard output with exit 0, whatever words follow.
TEST_F(CommandLine, HelpAndVersionAnswerOnStdout)
{
	const std::string version = "pondrel " PONDREL_VERSION "\n";
	const answer_case cases[] = {
	    {"--version", {"--version"}, version},
	    {"-V", {"-V"}, version},
	    {"--version before a call", {"--version", "lo", "1", "1"}, version},
	    {"--help", {"--help"}, USAGE},
	    {"-h", {"-h"}, USAGE},
	};
	for (const auto &c : cases) {
		std::vector<std::string> argv{PONDREL_BIN};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		run_result r = run_command(argv);
		EXPECT_EQ(r.status, 0) << c.name;
		EXPECT_EQ(r.err, "") << c.name;
		EXPECT_EQ(r.out.substr(0, c.out_start.size()), c.out_start)
		    << c.name;
		if (c.out_start == version) {
			EXPECT_EQ(r.out, version) << c.name;
		}
	}
	// One line per option after the usage line.
	run_result help = run_command({PONDREL_BIN, "--help"});
	for (const char *option : {"-s, --shape", "-h, --help", "-V, --version",
				   "    --overhead", "    --mpu", "    --atm",
				   "    --cake"})
		EXPECT_NE(help.out.find(std::string("\n  ") + option),
			  std::string::npos)
		    << option;
}

} // namespace
