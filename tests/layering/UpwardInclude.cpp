// UpwardInclude.cpp - compiled as part of the transaction layer, it reaches
// for the front end above it. The build must refuse it.
#include "Listener.h"
