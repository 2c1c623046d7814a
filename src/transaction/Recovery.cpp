// Recovery.cpp - the records of the last run read back at start: journal
// rows for the sales and voids in flight, the window's entries, the log line.
#include "Recovery.h"

#include "Duplicates.h"
#include "Journal.h"
#include "JournalReader.h"
#include "Log.h"
#include "Metrics.h"
#include "Records.h"
#include "Settings.h"

#include <cstdio>
#include <map>
#include <memory>

namespace {

const char StoppedReply[] = "The gateway stopped before the reply came.";
// A recovered row's status: the till's connection ended with the process,
// which a till takes as it takes the 504 of a reply that never came.
constexpr int StoppedStatus = 504;

// The day files read so far, by path: each is read once however many
// records started on its day.
struct Recovery {
    bool change; // a start, not check
    bool journal;
    std::map<std::string, std::unique_ptr<JournalDay>> days;
    std::vector<int> inDoubt;
    std::vector<std::string> journaled;
};

const char* KindWord(RecordKind kind) {
    return kind == RecordKind::Void ? "void" : "sale";
}

// The journal's row of the record's number, in the file of the day it
// started; null when there is none.
const JournalEntry* FindRow(Recovery* recovery, const RecoveredRecord& record) {
    if (!recovery->journal)
        return nullptr;
    const PlatformLocalTime& t = record.start.started;
    char path[JournalDayPathSize];
    JournalDayPath(t.year, t.month, t.day, path, sizeof path);
    std::unique_ptr<JournalDay>& day = recovery->days[path];
    if (!day) {
        day = std::make_unique<JournalDay>();
        ReadJournalDay(path, day.get()); // none, or unreadable: no row found
    }
    JournalKind kind =
        record.start.kind == RecordKind::Void ? JournalKind::Void : JournalKind::Sale;
    for (auto entry = day->entries.rbegin(); entry != day->entries.rend(); ++entry) {
        if (entry->sequence == record.sequence && entry->kind == kind &&
            entry->amount == record.start.amount && entry->reference == record.start.reference)
            return &*entry;
    }
    return nullptr;
}

void WriteStoppedRow(const RecoveredRecord& record) {
    JournalRow row{};
    row.started = record.start.started;
    row.client = record.start.client;
    row.clientNumber = record.start.clientNumber;
    row.kind = KindWord(record.start.kind);
    row.sequence = record.sequence;
    row.amount = record.start.amount;
    row.cardLength = static_cast<size_t>(record.start.cardLength);
    std::snprintf(row.cardTail, sizeof row.cardTail, "%s", record.start.cardTail);
    row.reference = record.start.reference;
    row.outcome = "in-doubt";
    row.httpStatus = StoppedStatus;
    row.serverUs = -1; // no time was measured
    row.reply = StoppedReply;
    WriteJournalRow(row);
}

// The outcome of a record in flight: its journal row's, or in doubt.
void Settle(Recovery* recovery, RecoveredRecord* record) {
    const JournalEntry* row = FindRow(recovery, *record);
    if (row == nullptr) {
        recovery->inDoubt.push_back(record->sequence);
        record->outcome = RecordOutcome::InDoubt;
        record->httpStatus = StoppedStatus;
        record->serverUs = -1;
        std::snprintf(record->reply, sizeof record->reply, "%s", StoppedReply);
        if (recovery->change) {
            WriteStoppedRow(*record);
            CountRecoveredInDoubt(record->start.kind == RecordKind::Void ? MetricKind::Void
                                                                         : MetricKind::Sale);
        }
        return;
    }
    record->outcome = row->outcome == JournalOutcome::Replied   ? RecordOutcome::Replied
                      : row->outcome == JournalOutcome::InDoubt ? RecordOutcome::InDoubt
                                                                : RecordOutcome::NotSent;
    record->httpStatus = row->httpStatus;
    record->serverUs = row->serverUs;
    std::snprintf(record->reply, sizeof record->reply, "%s", row->reply.c_str());
    recovery->journaled.push_back(std::to_string(record->sequence) + " (" +
                                  JournalOutcomeName(row->outcome) + ")");
}

void Recover(RecoveredRecord* record, void* context) {
    Recovery* recovery = static_cast<Recovery*>(context);
    if (record->outcome == RecordOutcome::None)
        Settle(recovery, record);
    if (!recovery->change || !record->inWindow)
        return;
    TransactionOutcome outcome =
        record->outcome == RecordOutcome::Replied   ? TransactionOutcome::Replied
        : record->outcome == RecordOutcome::InDoubt ? TransactionOutcome::InDoubt
                                                    : TransactionOutcome::NotSent;
    bool restored = RestoreDuplicate(record->start.match, record->start.startedUtcMs, outcome,
                                     record->sequence, record->reply, record->ticket);
    record->kept = restored && record->ticket.slot >= 0;
}

int64_t WindowMs() {
    int window = ReadSetting("DuplicateWindow");
    return window > 0 ? static_cast<int64_t>(window) * 1000 : 0;
}

} // namespace

std::string InDoubtSentence(const std::vector<int>& sequences) {
    size_t count = sequences.size();
    std::string line = std::to_string(count) +
                       (count == 1 ? " transaction from before the last stop is in doubt: sequence "
                                   : " transactions from before the last stop are in doubt: "
                                     "sequence ");
    // The log's line holds about 1,000 bytes: the rest are counted.
    for (size_t i = 0; i < count; ++i) {
        if (line.size() > 880) {
            line += " and " + std::to_string(count - i) + " more";
            break;
        }
        line += (i == 0 ? "" : ", ") + std::to_string(sequences[i]);
    }
    return line + ".";
}

bool RecoverTransactions() {
    Recovery recovery{true, ReadSetting("JournalDays") > 0, {}, {}, {}};
    RecordSummary summary{};
    char reason[512];
    bool opened = OpenRecords(WindowMs(), Recover, &recovery, &summary, reason, sizeof reason);
    if (!recovery.inDoubt.empty())
        WriteLogLine(InDoubtSentence(recovery.inDoubt).c_str(), LogEvent::Warning);
    if (!opened) {
        std::string line =
            std::string(reason) +
            "; sales and voids are refused, not sent, until a start can record them.";
        WriteLogLine(line.c_str(), LogEvent::Error);
        return false;
    }
    if (summary.counterSet) {
        std::snprintf(reason, sizeof reason,
                      "The counter file was behind the record file: the next sequence number is "
                      "%d.",
                      summary.nextNumber);
        WriteLogLine(reason);
    }
    return true;
}

void PreviewRecovery(RecoveryPreview* preview) {
    Recovery recovery{false, ReadSetting("JournalDays") > 0, {}, {}, {}};
    RecordSummary summary{};
    char reason[512];
    preview->read = ListRecords(WindowMs(), Recover, &recovery, &summary, reason, sizeof reason);
    if (!preview->read)
        preview->problem = reason;
    preview->inDoubt = recovery.inDoubt;
    preview->journaled = recovery.journaled;
    preview->windowed = summary.windowed;
    preview->nextNumber = summary.nextNumber;
}
