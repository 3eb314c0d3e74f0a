// The reader's udev rule: well-formed in udev's rule syntax, and doing what
// the reader needs. udev itself ignores a line it cannot parse (with a note
// in the journal that nobody reads), so a typo would silently leave the
// reader root-only, or ModemManager probing it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
    std::string key, attr, op, value; // KEY{attr}op"value"
};
using Rule = std::vector<Token>;

const Token *find(const Rule &rule, const std::string &key, const std::string &attr = "")
{
    for (const Token &token : rule)
        if (token.key == key && token.attr == attr)
            return &token;
    return nullptr;
}

bool has(const Rule &rule, const Token &want)
{
    const Token *token = find(rule, want.key, want.attr);
    return token && token->op == want.op && token->value == want.value;
}

// How udev takes each key: compared (=), assigned (:), with an {attribute} (@).
const std::map<std::string, std::string> kKeys = {
    {"ACTION", "="}, {"DEVPATH", "="}, {"KERNEL", "="}, {"KERNELS", "="}, {"NAME", "=:"},
    {"SYMLINK", "=:"}, {"SUBSYSTEM", "="}, {"SUBSYSTEMS", "="}, {"DRIVER", "="},
    {"DRIVERS", "="}, {"ATTR", "=:@"}, {"ATTRS", "=@"}, {"SYSCTL", "=:@"}, {"ENV", "=:@"},
    {"CONST", "=@"}, {"TAG", "=:"}, {"TAGS", "="}, {"TEST", "=@"}, {"PROGRAM", "="},
    {"RESULT", "="}, {"OWNER", ":"}, {"GROUP", ":"}, {"MODE", ":"}, {"SECLABEL", ":@"},
    {"RUN", ":@"}, {"LABEL", ":"}, {"GOTO", ":"}, {"IMPORT", ":@"}, {"OPTIONS", ":"}};

// One item of a rule and the comma (or the end) after it.
const std::regex kItem(R"re(\s*([A-Z_]+)(\{([^}]+)\})?(==|!=|\+=|-=|:=|=)"([^"]*)"\s*(,|$))re");

// Parses a rule line into `rule`; returns what udev would not take, or "".
std::string parseRule(const std::string &text, Rule &rule)
{
    std::smatch item;
    for (auto at = text.cbegin(); at != text.cend(); at = item[0].second) {
        if (!std::regex_search(at, text.cend(), item, kItem, std::regex_constants::match_continuous))
            return "cannot parse from: " + std::string(at, text.cend());
        Token token{item[1], item[3], item[4], item[5]};
        auto key = kKeys.find(token.key);
        std::string use = key == kKeys.end() ? "" : key->second;
        if (use.find(token.op == "==" || token.op == "!=" ? '=' : ':') == std::string::npos)
            return token.key + " cannot be used with " + token.op;
        if (item[2].matched && use.find('@') == std::string::npos)
            return token.key + " takes no {attribute}";
        rule.push_back(token);
    }
    return "";
}

class ReaderUdevRule : public ::testing::Test {
protected:
    // Reads the rules, joining lines continued with a backslash.
    void SetUp() override
    {
        std::ifstream in(UDEV_RULE_PATH);
        ASSERT_TRUE(in.good()) << UDEV_RULE_PATH;
        std::string text(std::istreambuf_iterator<char>(in), {});
        std::istringstream lines(std::regex_replace(text, std::regex("\\\\\n"), ""));
        for (std::string line; std::getline(lines, line);) {
            size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#')
                continue;
            rules.emplace_back();
            std::string error = parseRule(line, rules.back());
            if (!error.empty())
                errors += error + "\n  in: " + line + "\n";
        }
    }
    std::vector<Rule> rules;
    std::string errors;
};

} // namespace

TEST_F(ReaderUdevRule, ParsesCleanlySortsEarlyAndEveryGotoHasItsLabel)
{
    EXPECT_EQ(errors, "");
    // uaccess is applied by 73-seat-late.rules and ModemManager picks its
    // candidates in 80-mm-candidate.rules: the file must sort before both.
    const std::string path = UDEV_RULE_PATH;
    EXPECT_TRUE(std::regex_match(path.substr(path.rfind('/') + 1),
                                 std::regex("([0-6][0-9]|7[0-2])-.*\\.rules")))
        << path;
    ASSERT_FALSE(rules.empty());
    std::set<std::string> labels;
    for (const Rule &rule : rules)
        if (const Token *label = find(rule, "LABEL"))
            labels.insert(label->value);
    for (const Rule &rule : rules)
        if (const Token *jump = find(rule, "GOTO")) {
            EXPECT_TRUE(labels.count(jump->value)) << "GOTO to no LABEL: " << jump->value;
        }
}

TEST_F(ReaderUdevRule, GivesAccessKeepsModemManagerAwayAndLinksTheKernelsTtyUsb)
{
    // Access and ModemManager for every tty of the adapter, whichever driver
    // made it; the link only for the kernel driver's ttyUSB<n>, since the
    // vendor driver's node already has that name.
    struct Case {
        Token want;
        const char *kernel; // the KERNEL match of the rule holding it, "" none
    } cases[] = {
        {{"GROUP", "", "=", "dialout"}, ""},
        {{"MODE", "", "=", "0660"}, ""},
        {{"ENV", "ID_MM_DEVICE_IGNORE", "=", "1"}, ""},
        {{"SYMLINK", "", "+=", "ttyCH341USB%n"}, "ttyUSB[0-9]*"},
        // The stable name, whichever driver made the tty.
        {{"SYMLINK", "", "+=", "stripe-reader"}, ""},
    };
    for (const Case &c : cases) {
        bool found = false;
        for (const Rule &rule : rules) {
            const Token *kernel = find(rule, "KERNEL");
            found = found || (has(rule, {"SUBSYSTEM", "", "==", "tty"}) &&
                              has(rule, {"ATTRS", "idVendor", "==", "1a86"}) &&
                              has(rule, {"ATTRS", "idProduct", "==", "7523"}) &&
                              has(rule, c.want) &&
                              (kernel ? has(rule, {"KERNEL", "", "==", c.kernel}) : !*c.kernel));
        }
        EXPECT_TRUE(found) << c.want.key << " " << c.want.value;
    }
}
