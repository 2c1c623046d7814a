// TillAnswer.cpp - a transaction's result as the till's status and body.
#include "TillAnswer.h"

TillAnswer AnswerTransaction(TransactionResult result, const char* replyArea) {
    switch (result) {
    case TransactionResult::Done:
        return {result, 200, StatusOk, replyArea + 2};
    case TransactionResult::TooLong:
        return {result, 400, StatusBadRequest, BodySyntaxError};
    case TransactionResult::Duplicate:
        return {result, 409, StatusConflict, replyArea};
    case TransactionResult::Unchecked:
        return {result, 503, StatusServiceUnavailable, replyArea};
    case TransactionResult::Failed:
    case TransactionResult::Refused:
        break;
    }
    return {result, 504, StatusGatewayTimeout, replyArea};
}
