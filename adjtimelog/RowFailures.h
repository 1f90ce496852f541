// Rows the database keeps refusing. A row the database refuses for its data
// (a value it cannot store), or one refused three runs in a row while the
// other rows of its batch go in, would otherwise hold its batch back for
// ever: it is set aside with the error, in the dead-letter file of the
// state directory, and the batch goes in without it. Nothing else sets a
// row aside: a connection or server fault fails the run, and the batch is
// tried again whole.
//
// In the state directory:
//   rows          "<backlog id> <offset> <index> <count>" per row of the
//                 batch now delivered that was refused (count -1: set aside)
//   dead-letters  one line per row set aside, for root to read:
//                 "<UTC time>\t<the database's error>\t<the raw line>", with
//                 control bytes and tabs written as \xNN (Escape.h)
#pragma once

#include "Status.h"

#include <ctime>
#include <map>
#include <string>
#include <string_view>

class RowFailures {
public:
    // What is kept about the batch batchId (AnalyzeLogFile::batchId), by
    // a run that started at now.
    RowFailures(std::string stateDir, std::string batchId, time_t now);

    bool setAside(size_t index) const;
    // One more run refused row index; how many runs in a row now have.
    // 0 when that could not be kept (the row is then never set aside).
    int countRefusal(size_t index);
    // The row goes to the dead letters (synced) first, then is marked set
    // aside; when that fails, nothing is marked.
    Status setAsideRow(size_t index, std::string_view line, std::string_view error);
    // The batch was delivered: nothing more is kept about it.
    void clear();

    std::string deadLetters() const { return dir_ + "/dead-letters"; }

private:
    int save();
    std::string dir_;
    std::string batch_;
    time_t now_;
    std::map<size_t, int> counts_;  // -1: set aside
};

// How many rows were set aside in stateDir, ever (the dead letters' lines).
long long deadLetterCount(const std::string& stateDir);

// The refused row's error number says it is the row's own: a value the
// database cannot store (too large, not a number or date, bytes it does
// not take).
bool isDataError(int oraCode);
// The error number may belong to the row (a constraint or a trigger's
// refusal) rather than to the connection or the server: such a row is set
// aside after three runs in a row.
bool mayBeTheRows(int oraCode);
