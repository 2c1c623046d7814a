// HttpStatus.cpp - the status lines and shared bodies.
#include "HttpStatus.h"

const char StatusOk[] = "200 OK";
const char StatusBadRequest[] = "400 Bad Request";
const char StatusForbidden[] = "403 Forbidden";
const char StatusNotFound[] = "404 Not Found";
const char StatusMethodNotAllowed[] = "405 Method Not Allowed";
const char StatusConflict[] = "409 Conflict";
const char StatusServiceUnavailable[] = "503 Service Unavailable";
const char StatusGatewayTimeout[] = "504 Gateway Timeout";

const char BodySyntaxError[] = "Syntax error.";
const char BodyMethodNotAllowed[] = "Method not allowed.";
const char BodyFileNotFound[] = "File not found";
