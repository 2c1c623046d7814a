// DayFigures.cpp - a day's figures, one pass over its journal rows.
#include "DayFigures.h"

#include <algorithm>
#include <map>

namespace {

struct Tally {
    DayFigures* figures;
    std::map<std::string, size_t> reasonAt; // index into figures->notSent
};

void AddEntry(const JournalEntry& entry, void* context) {
    Tally& tally = *static_cast<Tally*>(context);
    DayFigures& figures = *tally.figures;
    DayTotal& total = figures.totals[static_cast<int>(entry.kind)][static_cast<int>(entry.outcome)];
    ++total.count;
    total.amount += entry.amount;
    if (entry.outcome == JournalOutcome::InDoubt && entry.kind != JournalKind::Funds)
        figures.inDoubt.push_back(entry);
    if (entry.outcome == JournalOutcome::NotSent) {
        auto [at, added] = tally.reasonAt.try_emplace(entry.reply, figures.notSent.size());
        if (added)
            figures.notSent.push_back({entry.reply, 0});
        ++figures.notSent[at->second].count;
    }
    if (figures.rows == 0 || entry.utcMs < figures.first.utcMs)
        figures.first = entry;
    if (figures.rows == 0 || entry.utcMs >= figures.last.utcMs)
        figures.last = entry;
    if (entry.serverUs > figures.slowest.serverUs)
        figures.slowest = entry;
    ++figures.rows;
}

void AddDamage(const JournalDamage& damage, void* context) {
    static_cast<Tally*>(context)->figures->damaged.push_back(damage);
}

} // namespace

int ReadDayFigures(const char* path, DayFigures* figures) {
    *figures = DayFigures{};
    Tally tally{figures, {}};
    int error = ReadJournalFile(path, AddEntry, AddDamage, &tally);
    std::stable_sort(figures->notSent.begin(), figures->notSent.end(),
                     [](const DayReason& a, const DayReason& b) { return a.count > b.count; });
    return error;
}
