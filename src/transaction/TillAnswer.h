// TillAnswer.h - what became of a transaction, and the one place where that
// becomes the till's answer: 200 with the server's reply, 400 for items too
// long for a message, 409 for a repeat of a recent sale or void, 503 when the
// duplicate window could not check it, 504 with the error text otherwise.
// The journal records the same answer.
#pragma once

#include "HttpStatus.h"

enum class TransactionResult {
    Failed,    // the reply area holds the error text (or the part of a reply that came)
    Done,      // the reply area holds the framed reply
    TooLong,   // the items cannot fit in a message; nothing sent
    Duplicate, // a repeat; the reply area holds the text about the first one
    Unchecked, // the duplicate window could not check it; the reply area holds why
    // The server ended the session over the gateway's client certificate
    // before taking the message; the reply area holds why. Nothing was
    // processed.
    Refused,
};

struct TillAnswer {
    TransactionResult result;
    int code;           // the HTTP status code
    const char* status; // its status line text, e.g. "200 OK"
    const char* body;   // may point into the reply area
};

TillAnswer AnswerTransaction(TransactionResult result, const char* replyArea);
