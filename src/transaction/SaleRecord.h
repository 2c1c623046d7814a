// SaleRecord.h - a sale's or void's write-ahead record (Records.h) as the
// exchange keeps it: made, with its number, before its message is built and
// sent; its outcome written once its journal row is; its slot kept while the
// duplicate window keeps its entry.
#pragma once

#include "Duplicates.h"
#include "Platform.h"
#include "Records.h"
#include "Transaction.h"

// Numbers the sale or void and has its record on stable storage; started is
// its journal row's time. False, with the till's text in replyArea, when it
// could not be recorded: it must not be sent then, and has no number. The
// items are read before replyArea is written. joined and context as for
// RecordTransactionStart; when joined leaves, replyArea is left as it is.
bool StartSaleRecord(const TransactionRequest& request, const PlatformLocalTime& started,
                     const DuplicateClaim& claim, RecordTicket* ticket, char* replyArea,
                     RecordJoined joined = nullptr, void* context = nullptr);

// After its journal row: the outcome into the record (a kill between the two
// leaves the row, which the next start finds), then into the duplicate
// window, which keeps the record's slot as long as it keeps the entry; the
// slot is free at once otherwise.
void SettleSale(const DuplicateClaim& claim, const RecordTicket& ticket,
                const TransactionReport& report, const TillAnswer& answer);
