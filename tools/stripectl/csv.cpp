#include "csv.h"

#include <algorithm>
#include <cctype>

namespace stripectl {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool isHeading(const std::vector<std::string> &fields)
{
    return fields.size() == 2 && lowered(trimmed(fields[0])) == "track2" &&
           lowered(trimmed(fields[1])) == "track3";
}

} // namespace

bool splitCsvLine(const std::string &line, std::vector<std::string> &fields,
                  std::string &error)
{
    fields.clear();
    std::string field;
    bool quoted = false;      // inside a quoted field
    bool wasQuoted = false;   // the current field was quoted and is closed
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
                wasQuoted = true;
            }
        } else if (c == ',') {
            fields.push_back(wasQuoted ? field : trimmed(field));
            field.clear();
            wasQuoted = false;
        } else if (c == '"' && !wasQuoted && trimmed(field).empty()) {
            field.clear();
            quoted = true;
        } else if (wasQuoted) {
            if (c != ' ' && c != '\t') {
                error = "text after a closing quote";
                return false;
            }
        } else {
            field += c;
        }
    }
    if (quoted) {
        error = "a quote is not closed";
        return false;
    }
    fields.push_back(wasQuoted ? field : trimmed(field));
    return true;
}

CsvResult parseCardCsv(std::istream &in)
{
    CsvResult result;
    std::string line;
    int lineNumber = 0;
    bool firstRow = true;
    std::vector<std::string> fields;
    auto fail = [&](const std::string &why) {
        result.ok = false;
        result.error = "line " + std::to_string(lineNumber) + ": " + why;
        result.rows.clear();
        return result;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (trimmed(line).empty() || trimmed(line)[0] == '#')
            continue;
        std::string error;
        if (!splitCsvLine(line, fields, error))
            return fail(error);
        if (firstRow) {
            firstRow = false;
            if (isHeading(fields))
                continue;
        }
        if (fields.size() != 2)
            return fail("expected 2 columns (track 2, track 3), found " +
                        std::to_string(fields.size()));
        if (fields[0].empty() && fields[1].empty())
            return fail("both track texts are empty");
        CardRow row;
        row.number = int(result.rows.size()) + 1;
        row.line = lineNumber;
        row.track2 = fields[0];
        row.track3 = fields[1];
        result.rows.push_back(row);
    }
    return result;
}

} // namespace stripectl
