// The batch file of `stripectl encode`: one card per row, the track-2 text
// in the first column and the track-3 text in the second.
//
//   # cards for the lobby kiosk
//   track2,track3
//   1234567890=1234,9876543210=5555
//   "4444=01",
//   ,33330000=0001
//
// Lines starting with "#" and empty lines are skipped. A first row whose
// fields read "track2" and "track3" (any case) is a heading and skipped.
// Fields may be quoted with double quotes ("" inside quotes is one quote),
// which allows commas in a text. Rows are numbered 1, 2, ... in file order,
// counting only card rows: the numbers that `encode` prints and `--start`
// takes. A row may leave one of the two texts empty (that track is not
// written), not both.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace stripectl {

struct CardRow {
    int number = 0;  // card row number, from 1
    int line = 0;    // line in the file, from 1, for messages
    std::string track2;
    std::string track3;
};

struct CsvResult {
    bool ok = true;
    std::string error; // "line 7: ..." when !ok
    std::vector<CardRow> rows;
};

CsvResult parseCardCsv(std::istream &in);

// Splits one CSV line into fields. Returns false (and says why in `error`)
// for an unterminated quote or text after a closing quote.
bool splitCsvLine(const std::string &line, std::vector<std::string> &fields,
                  std::string &error);

} // namespace stripectl
