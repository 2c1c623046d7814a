// HttpStatus.h - the status lines of every answer the gateway gives, to
// tills and on the status port, and the bodies that go with more than one.
#pragma once

extern const char StatusOk[];
extern const char StatusBadRequest[];
extern const char StatusForbidden[];
extern const char StatusNotFound[];
extern const char StatusMethodNotAllowed[];
extern const char StatusConflict[];
extern const char StatusServiceUnavailable[];
extern const char StatusGatewayTimeout[];

extern const char BodySyntaxError[];
extern const char BodyMethodNotAllowed[];
extern const char BodyFileNotFound[];
