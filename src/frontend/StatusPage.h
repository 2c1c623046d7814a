// StatusPage.h - the status page at "/" of the status port, for a person in
// a browser: the server links, today's figures from the journal, the
// exchange times, the last warnings, the version and the start time. The
// gateway makes all of it (no file, font or script from elsewhere); it
// refreshes itself every 5 s, and every text from outside is escaped.
#pragma once

#include <cstddef>

// Room for the whole page: at most PageInDoubtRows rows of the in-doubt list
// (the rest are counted) and every text cut to its shown length, escaped.
constexpr size_t StatusPageSize = 256 * 1024;
constexpr int PageInDoubtRows = 100;

// Notes the gateway's start, which the page shows; called as the status port
// starts.
void NoteStatusPageStart();
// Writes the page into out; returns its length, at most size - 1, with the
// closing tags always in.
size_t FormatStatusPage(char* out, size_t size);
