// SaleRecord.cpp - the exchange's side of the write-ahead records.
#include "SaleRecord.h"

#include "ErrorText.h"
#include "Journal.h"

#include <cstdio>
#include <cstring>

bool StartSaleRecord(const TransactionRequest& request, const PlatformLocalTime& started,
                     const DuplicateClaim& claim, RecordTicket* ticket, char* replyArea,
                     RecordJoined joined, void* context) {
    RecordStart start{};
    start.started = started;
    start.startedUtcMs = JournalUtcMs(started);
    std::snprintf(start.client, sizeof start.client, "%s",
                  request.clientAddress != nullptr ? request.clientAddress : "");
    start.clientNumber = request.clientNumber;
    start.kind = request.code == TransactionVoid ? RecordKind::Void : RecordKind::Sale;
    start.amount = request.amount;
    std::snprintf(start.reference, sizeof start.reference, "%s",
                  request.reference != nullptr ? request.reference : "");
    size_t cardLength = std::strlen(request.card);
    start.cardLength = static_cast<int>(cardLength);
    if (cardLength > 4)
        std::memcpy(start.cardTail, request.card + cardLength - 4, 5);
    // A hash under a key of this run alone would match nothing after a restart.
    start.windowed = claim.slot >= 0 && claim.lasting;
    if (start.windowed)
        std::memcpy(start.match, claim.match, sizeof start.match);

    int error = 0;
    bool counter = false;
    if (RecordTransactionStart(start, ticket, &error, &counter, joined, context))
        return true;
    if (error == RecordErrorLeft)
        return false;
    char text[256];
    if (counter) {
        FormatErrorText(error, text, sizeof text);
        std::snprintf(replyArea, ReplyAreaSize, "Unable to store the sequence number: %s", text);
    } else {
        DescribeRecordError(error, text, sizeof text);
        std::snprintf(replyArea, ReplyAreaSize, "Unable to record the transaction: %s", text);
    }
    return false;
}

void SettleSale(const DuplicateClaim& claim, const RecordTicket& ticket,
                const TransactionReport& report, const TillAnswer& answer) {
    if (ticket.slot >= 0) {
        RecordOutcome outcome =
            report.outcome == TransactionOutcome::Replied   ? RecordOutcome::Replied
            : report.outcome == TransactionOutcome::InDoubt ? RecordOutcome::InDoubt
                                                            : RecordOutcome::NotSent;
        // Not written, the record reads as in flight at the next start,
        // which then takes the journal's row.
        RecordTransactionOutcome(ticket, outcome, answer.code, report.serverUs, answer.body);
    }
    // Only a record matched under the key file's key is of use to the window
    // after a restart; only such a record's slot waits for the window.
    bool lasting = claim.slot >= 0 && claim.lasting;
    bool kept = SettleDuplicate(claim, report.outcome, report.sequence, answer.body,
                                lasting ? ticket : RecordTicket{});
    if (!kept || !lasting)
        FreeRecordSlot(ticket);
}
