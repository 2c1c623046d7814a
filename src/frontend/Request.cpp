// Request.cpp - a request's decision: the client's number, the method and
// path, the items, and the transaction they ask for or the answer at once.
#include "Request.h"

#include "Platform.h"
#include "Text.h"

#include <cstring>

namespace {

const char BodyAccessDenied[] = "Access denied.";

// Splits the query in place on "+", dropping empty items, and takes at most
// max items. Returns how many were found.
int SplitItems(char* query, char** items, int max) {
    int count = 0;
    char* p = query;
    while (count < max) {
        while (*p == '+')
            ++p;
        if (*p == 0)
            break;
        items[count++] = p;
        while (*p != 0 && *p != '+')
            ++p;
        if (*p == 0)
            break;
        *p++ = 0;
    }
    return count;
}

// A control byte inside an item would travel into the server message as is;
// a field separator (0x1C) there would shift every field after it.
bool HasControlByte(const char* item) {
    for (; *item != 0; ++item) {
        unsigned char c = static_cast<unsigned char>(*item);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

} // namespace

void DecideRequest(char* area, int clientNumber, bool voidAllowed, RequestDecision* out) {
    *out = RequestDecision{};
    out->answer = {StatusBadRequest, BodySyntaxError};
    out->transaction.clientNumber = clientNumber;
    if (clientNumber == 0) {
        out->answer = {StatusForbidden, BodyAccessDenied};
        return;
    }

    // The method may follow other lines: the first "GET " anywhere counts.
    char* url = std::strstr(area, "GET ");
    if (url == nullptr) {
        out->answer = {StatusMethodNotAllowed, BodyMethodNotAllowed};
        return;
    }
    url += 4;

    char* lineEnd = std::strchr(url, '\r');
    if (lineEnd == nullptr)
        lineEnd = std::strchr(url, '\n');
    if (lineEnd != nullptr)
        *lineEnd = 0;
    // Drops the protocol version ("HTTP/1.1").
    char* lastSpace = std::strrchr(url, ' ');
    if (lastSpace != nullptr)
        *lastSpace = 0;

    char* question = std::strchr(url, '?');
    if (question == nullptr)
        return; // 400
    *question = 0;
    const char* path = url;
    char* query = question + 1;

    char* items[4];
    int code = 0;
    if (PlatformEqualIgnoringCase(path, "/FundsAvailable")) {
        if (SplitItems(query, items, 3) < 2)
            return;
        code = TransactionFundsAvailable;
    } else if (PlatformEqualIgnoringCase(path, "/Sale")) {
        if (SplitItems(query, items, 4) < 3)
            return;
        code = TransactionSale;
    } else if (voidAllowed && PlatformEqualIgnoringCase(path, "/Void")) {
        if (SplitItems(query, items, 4) < 3)
            return;
        code = TransactionVoid;
    } else {
        out->answer = {StatusNotFound, BodyFileNotFound};
        return;
    }

    int itemsUsed = code == TransactionFundsAvailable ? 2 : 3;
    for (int i = 0; i < itemsUsed; ++i) {
        if (HasControlByte(items[i]))
            return;
    }
    TransactionRequest& transaction = out->transaction;
    transaction.code = code;
    transaction.card = items[0];
    // Like atoi(), but overflow wraps modulo 2^32 instead of being undefined.
    transaction.amount = ParseLeadingNumber(items[1], false);
    transaction.reference = code == TransactionFundsAvailable ? nullptr : items[2];
}

char* ReplyAreaOf(char* area) {
    return area + (WorkAreaSize - ReplyAreaSize);
}
