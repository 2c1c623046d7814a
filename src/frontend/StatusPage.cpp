// StatusPage.cpp - the status page, written into a fixed area: the links and
// the exchange times as the metrics hold them, today from DayFigures (as the
// report has it), the warnings from the log's ring. Texts from tills, from
// the server and from the journal file are masked, cut and escaped.
#include "StatusPage.h"

#include "DayFigures.h"
#include "ErrorText.h"
#include "HttpText.h"
#include "Journal.h"
#include "Log.h"
#include "Metrics.h"
#include "Platform.h"
#include "Text.h"
#include "TextArea.h"
#include "Version.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The most bytes of one text shown: a till's address, reference or card
// field; a reply or a warning.
constexpr size_t ShortText = 64;
constexpr size_t LongText = 300;
constexpr int ReasonRows = 10;
// Kept free for the closing tags, whatever came before.
constexpr size_t TailRoom = 32;
// A certificate that ends within this many days is shown as a warning, as
// the alert rules have it.
constexpr int64_t CertificateWarningDays = 14;

std::mutex StartGuard;
char StartedText[24] = "";

const char Style[] =
    "body{font:14px/1.45 system-ui,sans-serif;margin:1em 2em;color:#1d2329;background:#fbfbfc}"
    "h1{font-size:1.4em;margin:0}"
    "h2{font-size:1.1em;margin:1.4em 0 .4em;border-bottom:1px solid #ccd3db}"
    "h3{font-size:1em;margin:1em 0 .3em}"
    "table{border-collapse:collapse}"
    "th,td{padding:2px 12px 2px 0;text-align:left;border-bottom:1px solid #e4e8ec;"
    "vertical-align:top;white-space:nowrap}"
    "td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}td.reply{white-space:normal}"
    ".ok{color:#176b2c;font-weight:600}.bad{color:#b3261e;font-weight:600}"
    ".warn{color:#8a5a00;font-weight:600}.meta{color:#55606b}"
    "svg text{font-size:10px;fill:#55606b}";

// The page's text, with text from outside escaped.
struct Page : TextArea {
    // Text as HTML: the five special characters escaped, line ends and tabs
    // shown as spaces, other control characters as "?". Digit runs are
    // masked before it is cut to max bytes (at a character's start, with
    // "..." added).
    void Text(const char* text, size_t length, size_t max) {
        std::string shown(text, length);
        MaskDigitRuns(shown.data(), shown.size());
        bool cut = shown.size() > max;
        if (cut) {
            size_t end = max;
            while (end > 0 && (static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80)
                --end;
            shown.resize(end);
        }
        for (char c : shown) {
            unsigned char u = static_cast<unsigned char>(c);
            const char* entity = c == '&'                              ? "&amp;"
                                 : c == '<'                            ? "&lt;"
                                 : c == '>'                            ? "&gt;"
                                 : c == '"'                            ? "&quot;"
                                 : c == '\''                           ? "&#39;"
                                 : c == '\r' || c == '\n' || c == '\t' ? " "
                                 : u < 0x20 || u == 0x7F               ? "?"
                                                                       : nullptr;
            size_t need = entity != nullptr ? std::strlen(entity) : 1;
            if (used + need >= size)
                return;
            if (entity != nullptr)
                std::memcpy(out + used, entity, need);
            else
                out[used] = c;
            used += need;
        }
        out[used] = '\0';
        if (cut)
            Add("...");
    }
    void Text(const std::string& text, size_t max) { Text(text.data(), text.size(), max); }
    void Text(const char* text, size_t max) { Text(text, std::strlen(text), max); }
};

// "0.183 ms", "12.5 ms", "1.25 s".
void FormatDuration(int64_t us, char* out, size_t size) {
    if (us < 1000)
        std::snprintf(out, size, "%.3f ms", static_cast<double>(us) / 1000);
    else if (us < 1000000)
        std::snprintf(out, size, "%.1f ms", static_cast<double>(us) / 1000);
    else
        std::snprintf(out, size, "%.2f s", static_cast<double>(us) / 1000000);
}

void AddHead(Page& page, const PlatformLocalTime& now) {
    char started[sizeof StartedText];
    {
        std::lock_guard<std::mutex> hold(StartGuard);
        std::memcpy(started, StartedText, sizeof started);
    }
    page.Add("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"refresh\" content=\"5\">\n"
             "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
             "<title>Quillet Hollin Gateway</title>\n<style>%s</style>\n</head>\n<body>\n",
             Style);
    page.Add("<header><h1>Quillet Hollin Gateway</h1>\n<p class=\"meta\" id=\"version\">"
             "Version %s &middot; started %s &middot; shown %04d-%02d-%02d %02d:%02d:%02d, "
             "again every 5 s</p></header>\n",
             GATEWAY_VERSION, started[0] != '\0' ? started : "-", now.year, now.month, now.day,
             now.hour, now.minute, now.second);
}

// A certificate's end, marked when it is near or past.
void AddCertificateEnd(Page& page, int64_t notAfter, int64_t nowSeconds) {
    char date[64];
    FormatHttpDate(notAfter * 1000, date, sizeof date);
    int64_t days = (notAfter - nowSeconds) / 86400;
    if (notAfter <= nowSeconds)
        page.Add("<span class=\"bad\">%s, expired</span>", date);
    else
        page.Add("<span class=\"%s\">%s, in %lld days</span>",
                 days < CertificateWarningDays ? "warn" : "ok", date, static_cast<long long>(days));
}

void AddLinks(Page& page) {
    page.Add("<section id=\"server\"><h2>Transaction server</h2>\n");
    ServerLinkState links[MaxServerLinks];
    int count = ReadServerLinks(links, MaxServerLinks);
    if (count == 0) {
        page.Add("<p>No connection to the transaction server yet.</p>\n");
    } else {
        page.Add("<table id=\"links\"><tr><th>link</th><th>terminal</th><th>host</th>"
                 "<th>state</th><th>encryption</th><th>certificate ends</th></tr>\n");
        int64_t nowSeconds = PlatformUtcMilliseconds() / 1000;
        for (int i = 0; i < count; ++i) {
            const ServerLinkState& link = links[i];
            // Numbered as /metrics labels the link, so both name it alike.
            page.Add("<tr><td class=\"n\">%d</td><td>", i);
            if (link.terminal >= 0)
                page.Add("%02d", link.terminal);
            else
                page.Add("TerminalAddress");
            page.Add("</td><td>");
            // Before its first connect a link has no host, nor a host's TLS setting.
            const char* encryption = link.tls ? "TLS" : "none";
            if (link.host[0] != '\0') {
                page.Text(link.host, ShortText);
            } else {
                page.Add("none yet");
                encryption = "";
            }
            page.Add("%s</td><td class=\"%s\">%s</td><td>%s</td><td>",
                     link.backup ? " (backup)" : "", link.connected ? "ok" : "bad",
                     link.connected ? "connected" : "not connected", encryption);
            if (link.tls && link.certificateNotAfter != 0)
                AddCertificateEnd(page, link.certificateNotAfter, nowSeconds);
            else if (link.tls)
                page.Add("none seen yet");
            page.Add("</td></tr>\n");
        }
        page.Add("</table>\n");
    }
    int64_t clientNotAfter = 0;
    if (ClientCertificateEnd(&clientNotAfter)) {
        page.Add("<p id=\"client-certificate\">Our client certificate ends ");
        AddCertificateEnd(page, clientNotAfter, PlatformUtcMilliseconds() / 1000);
        page.Add(".</p>\n");
    }
    char backup[64];
    if (BackupInUse(backup, sizeof backup)) {
        page.Add("<p id=\"backup\" class=\"warn\">New connections go to the backup server ");
        page.Text(backup, ShortText);
        page.Add(".</p>\n");
    }
    char reason[192];
    if (ServerHealthy(reason, sizeof reason)) {
        page.Add("<p id=\"health\">Last exchange: <span class=\"ok\">OK</span></p>\n");
    } else {
        page.Add("<p id=\"health\">Last exchange: <span class=\"bad\">");
        page.Text(reason, LongText);
        page.Add("</span></p>\n");
    }
    page.Add("</section>\n");
}

std::string Clock(const JournalEntry& entry) {
    return entry.time.substr(11, 8);
}

void AddKindAndNumber(Page& page, const JournalEntry& entry) {
    page.Add("%s", JournalKindName(entry.kind));
    if (entry.sequence != JournalNoSequence)
        page.Add(" %d", entry.sequence);
}

void AddTill(Page& page, const JournalEntry& entry) {
    page.Text(entry.client, ShortText);
    page.Add(" #%d", entry.clientNumber);
}

void AddTotals(Page& page, const DayFigures& figures) {
    page.Add("<table id=\"totals\"><tr><th></th><th></th>");
    for (int outcome = 0; outcome < JournalOutcomeCount; ++outcome)
        page.Add("<th class=\"n\">%s</th>",
                 JournalOutcomeName(static_cast<JournalOutcome>(outcome)));
    page.Add("</tr>\n");
    const JournalKind kinds[] = {JournalKind::Sale, JournalKind::Void, JournalKind::Funds};
    for (JournalKind kind : kinds) {
        const DayTotal* row = figures.totals[static_cast<int>(kind)];
        for (int amounts = 0; amounts < 2; ++amounts) {
            if (amounts == 0)
                page.Add("<tr><th rowspan=\"2\">%s</th><td>count</td>", JournalKindName(kind));
            else
                page.Add("<tr><td>amount</td>");
            for (int outcome = 0; outcome < JournalOutcomeCount; ++outcome) {
                int64_t value = amounts == 0 ? row[outcome].count : row[outcome].amount;
                bool doubt = outcome == static_cast<int>(JournalOutcome::InDoubt) && value != 0;
                page.Add("<td class=\"n%s\">%lld</td>", doubt ? " bad" : "",
                         static_cast<long long>(value));
            }
            page.Add("</tr>\n");
        }
    }
    page.Add("</table>\n");
}

// Newest first, at most PageInDoubtRows of them.
void AddInDoubt(Page& page, const DayFigures& figures) {
    if (figures.inDoubt.empty()) {
        page.Add("<h3 id=\"in-doubt\">In doubt: none</h3>\n");
        return;
    }
    page.Add("<h3 id=\"in-doubt\" class=\"bad\">In doubt: %lld</h3>\n<p>Look each one up with "
             "the transaction server before the till tries again.</p>\n",
             static_cast<long long>(figures.inDoubt.size()));
    std::vector<const JournalEntry*> newest;
    newest.reserve(figures.inDoubt.size());
    for (const JournalEntry& entry : figures.inDoubt)
        newest.push_back(&entry);
    std::stable_sort(newest.begin(), newest.end(),
                     [](const JournalEntry* a, const JournalEntry* b) {
                         return a->utcMs != b->utcMs ? a->utcMs > b->utcMs : a->line > b->line;
                     });
    page.Add(
        "<table id=\"in-doubt-list\"><tr><th>time</th><th>till</th><th class=\"n\">sequence</th>"
        "<th>kind</th><th>card</th><th class=\"n\">amount</th><th>reference</th></tr>\n");
    size_t shown = std::min(newest.size(), static_cast<size_t>(PageInDoubtRows));
    for (size_t i = 0; i < shown; ++i) {
        const JournalEntry& entry = *newest[i];
        page.Add("<tr><td>%s</td><td>", Clock(entry).c_str());
        AddTill(page, entry);
        page.Add("</td><td class=\"n\">");
        if (entry.sequence != JournalNoSequence)
            page.Add("%d", entry.sequence);
        page.Add("</td><td>%s</td><td>", JournalKindName(entry.kind));
        page.Text(entry.card, ShortText);
        page.Add("</td><td class=\"n\">%d</td><td>", entry.amount);
        page.Text(entry.reference, ShortText);
        page.Add("</td></tr>\n");
    }
    page.Add("</table>\n");
    if (shown < newest.size())
        page.Add("<p class=\"warn\">And %lld more, older: <code>QuilletHollinGateway "
                 "report</code> lists them all.</p>\n",
                 static_cast<long long>(newest.size() - shown));
}

void AddNotSent(Page& page, const DayFigures& figures) {
    if (figures.notSent.empty()) {
        page.Add("<h3>Not sent: none</h3>\n");
        return;
    }
    page.Add("<h3>Not sent, by reason</h3>\n<table id=\"not-sent\">\n");
    int rows = 0;
    for (const DayReason& reason : figures.notSent) {
        if (rows++ == ReasonRows) {
            page.Add("<tr><td></td><td>and %lld other reasons</td></tr>\n",
                     static_cast<long long>(figures.notSent.size() - ReasonRows));
            break;
        }
        page.Add("<tr><td class=\"n\">%lld</td><td>", static_cast<long long>(reason.count));
        page.Text(reason.text, LongText);
        page.Add("</td></tr>\n");
    }
    page.Add("</table>\n");
}

// The first, last and slowest transactions, each with the till's text.
void AddTimes(Page& page, const DayFigures& figures) {
    if (figures.rows == 0) {
        page.Add("<p>No transactions.</p>\n");
        return;
    }
    page.Add("<h3>First, last and slowest</h3>\n<table id=\"times\"><tr><th></th><th>time</th>"
             "<th>transaction</th><th>till</th><th class=\"n\">amount</th><th>outcome</th>"
             "<th class=\"n\">at the server</th><th>the till's text</th></tr>\n");
    const struct {
        const char* name;
        const JournalEntry* entry;
    } rows[] = {{"first", &figures.first}, {"last", &figures.last}, {"slowest", &figures.slowest}};
    for (const auto& row : rows) {
        const JournalEntry& entry = *row.entry;
        if (entry.line == 0)
            continue; // no exchange was sent today: no slowest
        page.Add("<tr><th>%s</th><td>%s</td><td>", row.name, Clock(entry).c_str());
        AddKindAndNumber(page, entry);
        page.Add("</td><td>");
        AddTill(page, entry);
        page.Add("</td><td class=\"n\">%d</td><td>%s</td><td class=\"n\">", entry.amount,
                 JournalOutcomeName(entry.outcome));
        if (entry.serverUs >= 0)
            page.Add("%lld.%03lld ms", static_cast<long long>(entry.serverUs / 1000),
                     static_cast<long long>(entry.serverUs % 1000));
        page.Add("</td><td class=\"reply\">");
        page.Text(entry.reply, LongText);
        page.Add("</td></tr>\n");
    }
    page.Add("</table>\n");
}

void AddToday(Page& page, const PlatformLocalTime& now) {
    page.Add("<section id=\"today\"><h2>Today, %04d-%02d-%02d</h2>\n", now.year, now.month,
             now.day);
    char path[JournalDayPathSize];
    JournalDayPath(now.year, now.month, now.day, path, sizeof path);
    DayFigures figures;
    int error = ReadDayFigures(path, &figures);
    if (error == PlatformFileNotFound) {
        page.Add("<p>No journal for today: ");
        page.Text(FileNameOf(path), LongText);
        page.Add(" does not exist (no transaction yet, or JournalDays=0).</p>\n</section>\n");
        return;
    }
    if (error != 0) {
        char words[256] = "it is too large to read";
        if (error != JournalTooLarge)
            FormatErrorText(error, words, sizeof words);
        page.Add("<p class=\"bad\">Unable to read the journal ");
        page.Text(FileNameOf(path), LongText);
        page.Add(": ");
        page.Text(words, LongText);
        page.Add("</p>\n</section>\n");
        return;
    }
    AddTotals(page, figures);
    AddInDoubt(page, figures);
    AddNotSent(page, figures);
    AddTimes(page, figures);
    if (!figures.damaged.empty())
        page.Add("<p class=\"warn\">Damaged rows, skipped: %lld (the report names their "
                 "lines).</p>\n",
                 static_cast<long long>(figures.damaged.size()));
    page.Add("</section>\n");
}

// Where a time lies along the bars: its bucket's index and the part of it.
double BarPosition(const TimeBuckets& buckets, int64_t us) {
    for (int i = 0; i < TimeBucketCount - 1; ++i) {
        if (us <= buckets.upperUs[i]) {
            double lower = i == 0 ? 0 : static_cast<double>(buckets.upperUs[i - 1]);
            double upper = static_cast<double>(buckets.upperUs[i]);
            return i + (static_cast<double>(us) - lower) / (upper - lower);
        }
    }
    return TimeBucketCount - 0.5;
}

void AddQuantileText(Page& page, const TimeBuckets& buckets, int64_t us) {
    char text[32];
    FormatDuration(us == BeyondLastBound ? buckets.upperUs[TimeBucketCount - 2] : us, text,
                   sizeof text);
    page.Add("%s%s", us == BeyondLastBound ? "over " : "", text);
}

// An inline SVG: one bar per bucket of /metrics' histogram, each bucket's
// upper bound in ms under it, the p50 and p99 as lines across.
void AddExchangeTimes(Page& page) {
    page.Add("<section id=\"exchange\"><h2>Exchange time since start</h2>\n");
    TimeBuckets buckets;
    ReadExchangeTimes(&buckets);
    uint64_t total = 0, most = 0;
    for (uint64_t count : buckets.count) {
        total += count;
        most = std::max(most, count);
    }
    if (total == 0) {
        page.Add("<p>No exchange with the transaction server since start.</p>\n</section>\n");
        return;
    }
    int64_t p50 = BucketQuantileUs(buckets, 0.5), p99 = BucketQuantileUs(buckets, 0.99);
    constexpr int Left = 8, Top = 16, Bar = 34, Height = 100;
    constexpr int Width = Left * 2 + Bar * TimeBucketCount;
    page.Add("<svg id=\"histogram\" xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" "
             "height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\" aria-label=\"exchange times\">\n",
             Width, Top + Height + 30, Width, Top + Height + 30);
    page.Add("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#8a96a3\"/>\n", Left,
             Top + Height, Width - Left, Top + Height);
    for (int i = 0; i < TimeBucketCount; ++i) {
        int height = static_cast<int>(buckets.count[i] * Height / most);
        if (buckets.count[i] != 0 && height == 0)
            height = 1;
        int x = Left + i * Bar;
        if (height != 0)
            page.Add("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#4a78a8\">"
                     "<title>%llu</title></rect>\n",
                     x + 2, Top + Height - height, Bar - 4, height,
                     static_cast<unsigned long long>(buckets.count[i]));
        char bound[16];
        if (buckets.upperUs[i] < 0)
            std::snprintf(bound, sizeof bound, "more");
        else
            std::snprintf(bound, sizeof bound, "%g",
                          static_cast<double>(buckets.upperUs[i]) / 1000);
        page.Add("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x + Bar / 2,
                 Top + Height + 13, bound);
    }
    page.Add("<text x=\"%d\" y=\"%d\">upper bound of each bar, ms</text>\n", Left,
             Top + Height + 27);
    const struct {
        const char* name;
        int64_t us;
        const char* colour;
    } marks[] = {{"p50", p50, "#176b2c"}, {"p99", p99, "#b3261e"}};
    for (const auto& mark : marks) {
        int x = Left + static_cast<int>(BarPosition(buckets, mark.us) * Bar);
        page.Add("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"%s\" "
                 "stroke-dasharray=\"4 3\"/><text x=\"%d\" y=\"%d\" text-anchor=\"middle\" "
                 "style=\"fill:%s\">%s</text>\n",
                 x, Top, x, Top + Height, mark.colour, x, Top - 4, mark.colour, mark.name);
    }
    page.Add("</svg>\n<p id=\"quantiles\">p50 ");
    AddQuantileText(page, buckets, p50);
    page.Add(" &middot; p99 ");
    AddQuantileText(page, buckets, p99);
    page.Add(" &middot; %llu exchanges</p>\n</section>\n", static_cast<unsigned long long>(total));
}

void AddWarnings(Page& page) {
    page.Add("<section id=\"warnings\"><h2>Last warnings</h2>\n");
    RecentWarning warnings[RecentWarningCount];
    int count = ReadRecentWarnings(warnings, RecentWarningCount);
    if (count == 0)
        page.Add("<p>None since start.</p>\n");
    else
        page.Add("<ul>\n");
    for (int i = 0; i < count; ++i) {
        bool error = warnings[i].event == LogEvent::Error;
        page.Add("<li>%s <span class=\"%s\">%s</span> ", warnings[i].time, error ? "bad" : "warn",
                 error ? "error" : "warning");
        page.Text(warnings[i].text, LongText);
        page.Add("</li>\n");
    }
    if (count != 0)
        page.Add("</ul>\n");
    page.Add("</section>\n");
}

} // namespace

void NoteStatusPageStart() {
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    std::lock_guard<std::mutex> hold(StartGuard);
    std::snprintf(StartedText, sizeof StartedText, "%04d-%02d-%02d %02d:%02d:%02d", now.year,
                  now.month, now.day, now.hour, now.minute, now.second);
}

size_t FormatStatusPage(char* out, size_t size) {
    if (size <= TailRoom)
        return 0;
    Page page{{out, size - TailRoom}};
    out[0] = '\0';
    PlatformLocalTime now;
    PlatformLocalNow(&now);
    AddHead(page, now);
    AddLinks(page);
    AddToday(page, now);
    AddExchangeTimes(page);
    AddWarnings(page);
    page.size = size;
    page.Add("</body>\n</html>\n");
    return page.used;
}
