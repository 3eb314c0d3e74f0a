// The reader's udev rule: well-formed in udev's rule syntax, and doing what
// the reader needs. udev itself ignores a line it cannot parse (with a note
// in the journal that nobody reads), so a typo would silently leave the
// reader root-only, or ModemManager probing it.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Token {
    std::string key;   // e.g. "ATTRS"
    std::string attr;  // e.g. "idVendor", for KEY{attr}
    std::string op;    // ==, !=, =, +=, -=, :=
    std::string value;
};

struct Rule {
    int line = 0;
    std::vector<Token> tokens;

    const Token *find(const std::string &key, const std::string &attr = "") const
    {
        for (const Token &token : tokens)
            if (token.key == key && token.attr == attr)
                return &token;
        return nullptr;
    }
    bool matches(const std::string &key, const std::string &attr, const std::string &value) const
    {
        const Token *token = find(key, attr);
        return token && token->op == "==" && token->value == value;
    }
};

// Keys that can be compared, keys that can be assigned, and which take {attr}.
const std::set<std::string> kMatchKeys = {
    "ACTION", "DEVPATH", "KERNEL", "KERNELS", "NAME", "SYMLINK", "SUBSYSTEM", "SUBSYSTEMS",
    "DRIVER", "DRIVERS", "ATTR", "ATTRS", "SYSCTL", "ENV", "CONST", "TAG", "TAGS", "TEST",
    "PROGRAM", "RESULT"};
const std::set<std::string> kAssignKeys = {
    "NAME", "SYMLINK", "OWNER", "GROUP", "MODE", "SECLABEL", "ATTR", "SYSCTL", "ENV", "TAG",
    "RUN", "LABEL", "GOTO", "IMPORT", "OPTIONS"};
const std::set<std::string> kAttrKeys = {"ATTR", "ATTRS", "SYSCTL", "ENV", "CONST", "TEST",
                                         "RUN", "IMPORT", "SECLABEL"};

// Parses "KEY{attr}OP"value"" items separated by commas; false with a
// reason for anything udev would not take.
bool parseRuleLine(const std::string &text, Rule &rule, std::string &error)
{
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
    };
    while (true) {
        skipBlanks();
        Token token;
        while (i < text.size() && (isupper((unsigned char)text[i]) || text[i] == '_'))
            token.key += text[i++];
        if (token.key.empty()) {
            error = "expected a key at column " + std::to_string(i + 1);
            return false;
        }
        if (i < text.size() && text[i] == '{') {
            size_t close = text.find('}', i);
            if (close == std::string::npos) {
                error = "unclosed { after " + token.key;
                return false;
            }
            token.attr = text.substr(i + 1, close - i - 1);
            i = close + 1;
            if (!kAttrKeys.count(token.key) || token.attr.empty()) {
                error = token.key + " takes no {attribute}";
                return false;
            }
        }
        for (const char *op : {"==", "!=", "+=", "-=", ":=", "="}) {
            if (text.compare(i, strlen(op), op) == 0) {
                token.op = op;
                i += strlen(op);
                break;
            }
        }
        bool comparison = token.op == "==" || token.op == "!=";
        if (token.op.empty()) {
            error = "no operator after " + token.key;
            return false;
        }
        if (comparison ? !kMatchKeys.count(token.key) : !kAssignKeys.count(token.key)) {
            error = token.key + " cannot be used with " + token.op;
            return false;
        }
        if (i >= text.size() || text[i] != '"') {
            error = "value of " + token.key + " is not in double quotes";
            return false;
        }
        size_t close = text.find('"', i + 1);
        if (close == std::string::npos) {
            error = "unclosed quote in the value of " + token.key;
            return false;
        }
        token.value = text.substr(i + 1, close - i - 1);
        i = close + 1;
        rule.tokens.push_back(token);
        skipBlanks();
        if (i >= text.size())
            return true;
        if (text[i] != ',') {
            error = "expected a comma at column " + std::to_string(i + 1);
            return false;
        }
        ++i;
    }
}

// Reads the file into rules, joining lines continued with a backslash.
std::vector<Rule> readRules(const std::string &path, std::vector<std::string> &errors)
{
    std::ifstream in(path);
    std::vector<Rule> rules;
    std::string line, joined;
    int lineNumber = 0, ruleLine = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (joined.empty())
            ruleLine = lineNumber;
        if (!line.empty() && line.back() == '\\') {
            line.pop_back();
            joined += line;
            continue;
        }
        joined += line;
        size_t first = joined.find_first_not_of(" \t");
        if (first != std::string::npos && joined[first] != '#') {
            Rule rule;
            rule.line = ruleLine;
            std::string error;
            if (parseRuleLine(joined, rule, error))
                rules.push_back(rule);
            else
                errors.push_back("line " + std::to_string(ruleLine) + ": " + error);
        }
        joined.clear();
    }
    if (!joined.empty())
        errors.push_back("the file ends inside a continued line");
    return rules;
}

bool isReaderRule(const Rule &rule)
{
    return rule.matches("SUBSYSTEM", "", "tty") && rule.matches("ATTRS", "idVendor", "1a86") &&
           rule.matches("ATTRS", "idProduct", "7523");
}

class ReaderUdevRule : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream probe(UDEV_RULE_PATH);
        ASSERT_TRUE(probe.good()) << UDEV_RULE_PATH;
        rules = readRules(UDEV_RULE_PATH, errors);
    }
    std::vector<Rule> rules;
    std::vector<std::string> errors;
};

} // namespace

TEST_F(ReaderUdevRule, ParsesCleanlyAndEveryGotoHasItsLabel)
{
    EXPECT_TRUE(errors.empty()) << errors.front();
    ASSERT_FALSE(rules.empty());
    std::set<std::string> labels;
    for (const Rule &rule : rules)
        if (const Token *label = rule.find("LABEL"))
            labels.insert(label->value);
    for (const Rule &rule : rules) {
        if (const Token *jump = rule.find("GOTO")) {
            EXPECT_TRUE(labels.count(jump->value)) << "line " << rule.line << ": " << jump->value;
        }
    }
}

TEST_F(ReaderUdevRule, GivesTheOperatorsGroupAccessAndKeepsModemManagerAway)
{
    const Rule *access = nullptr;
    for (const Rule &rule : rules)
        if (isReaderRule(rule) && rule.find("GROUP"))
            access = &rule;
    ASSERT_NE(access, nullptr) << "no rule for 1a86:7523 sets the group";
    EXPECT_EQ(access->find("GROUP")->value, "dialout");
    ASSERT_NE(access->find("MODE"), nullptr);
    EXPECT_EQ(access->find("MODE")->value, "0660");
    const Token *ignore = access->find("ENV", "ID_MM_DEVICE_IGNORE");
    ASSERT_NE(ignore, nullptr);
    EXPECT_EQ(ignore->op, "=");
    EXPECT_EQ(ignore->value, "1");
}

TEST_F(ReaderUdevRule, LinksTheKernelsTtyUsbUnderTheVendorName)
{
    const Rule *link = nullptr;
    for (const Rule &rule : rules)
        if (isReaderRule(rule) && rule.find("SYMLINK"))
            link = &rule;
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->find("SYMLINK")->op, "+=");
    EXPECT_EQ(link->find("SYMLINK")->value, "ttyCH341USB%n");
    // Only for the kernel driver's ttyUSB<n>: the vendor driver's node
    // already has that name.
    EXPECT_TRUE(link->matches("KERNEL", "", "ttyUSB[0-9]*"));
}

TEST_F(ReaderUdevRule, RunsBeforeTheSeatAndModemManagerRules)
{
    // uaccess is applied by 73-seat-late.rules and ModemManager picks its
    // candidates in 80-mm-candidate.rules: the file must sort before both.
    std::string path = UDEV_RULE_PATH;
    std::string name = path.substr(path.rfind('/') + 1);
    ASSERT_GE(name.size(), 3u);
    ASSERT_TRUE(isdigit((unsigned char)name[0]) && isdigit((unsigned char)name[1])) << name;
    EXPECT_LT(std::stoi(name.substr(0, 2)), 73) << name;
    EXPECT_EQ(name.substr(name.size() - 6), ".rules");
}
