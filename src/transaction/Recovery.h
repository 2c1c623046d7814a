// Recovery.h - the start after a stop: the write-ahead records the last run
// left are read back before the listener accepts. Every sale or void that
// was in flight becomes a journal row in doubt (unless its row came out
// before the stop), the duplicate window's entries come back, and the
// counter goes on past every number recorded.
#pragma once

#include <string>
#include <vector>

// Opens this process's record file and recovers what the last stop left,
// after StartTransactions and StartJournal. Logs the sales and voids in
// doubt in one line, "2 transactions from before the last stop are in doubt:
// sequence 17, 18." (a warning for the Event Log). False, logged as an
// error, when no record file could be opened or the recovery could not be
// stored: sales and voids are then refused, not sent, until a start can.
bool RecoverTransactions();

// What a start would recover now, read for "check" without writing, making
// or holding any file.
struct RecoveryPreview {
    bool read = false;
    std::string problem;      // why the record files could not be read
    std::vector<int> inDoubt; // numbers that would be journaled in doubt
    // In flight, but journaled before the stop: "16 (replied)".
    std::vector<std::string> journaled;
    int windowed = 0; // duplicate window entries that would come back
    int nextNumber = 0;
};
void PreviewRecovery(RecoveryPreview* preview);

// "2 transactions from before the last stop are in doubt: sequence 17, 18."
std::string InDoubtSentence(const std::vector<int>& sequences);
