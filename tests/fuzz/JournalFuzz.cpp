// JournalFuzz.cpp - the journal reader over any bytes: rows and damaged rows
// come in file order on lines the text has, a row's fields are as the writer
// writes them, no card number gets through, and nothing outside the input
// is read (libFuzzer hands over a buffer of exactly its size).
#include "FuzzCheck.h"

#include "JournalReader.h"

namespace {

struct Seen {
    int lines;        // lines in the input
    int lastLine = 0; // of the last row or damaged row reported
};

void Follows(Seen& seen, int line) {
    FUZZ_CHECK(line > seen.lastLine && line <= seen.lines);
    seen.lastLine = line;
}

void OnEntry(const JournalEntry& entry, void* context) {
    Follows(*static_cast<Seen*>(context), entry.line);
    FUZZ_CHECK(entry.time.size() == 29);
    FUZZ_CHECK(entry.httpStatus >= 100 && entry.httpStatus <= 599);
    FUZZ_CHECK(entry.serverUs >= -1);
    size_t shown = entry.card.size() > 4 ? 4 : 0;
    for (size_t i = 0; i + shown < entry.card.size(); ++i)
        FUZZ_CHECK(entry.card[i] == '*');
    size_t digits = 0;
    for (char c : entry.reply) {
        digits = c >= '0' && c <= '9' ? digits + 1 : 0;
        FUZZ_CHECK(digits < 12);
    }
}

void OnDamage(const JournalDamage& damage, void* context) {
    Follows(*static_cast<Seen*>(context), damage.line);
    FUZZ_CHECK(damage.reason != nullptr && damage.reason[0] != '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    Seen seen{1};
    for (size_t i = 0; i < size; ++i)
        seen.lines += text[i] == '\n' ? 1 : 0;
    ReadJournalText(text, size, OnEntry, OnDamage, &seen);
    return 0;
}
