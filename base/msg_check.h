// The note a handler leaves when a received message is shorter than the fields it reads.
#pragma once

#include <cstddef>

#include "platform/wire/msg.h"

// 0 when msg holds need bytes; otherwise -1 after a debug line naming the message's type and
// length. The handler goes on either way: the fields it misses read as 0.
int l2ptCheckMsgLen(const wire::Msg& msg, size_t need);
