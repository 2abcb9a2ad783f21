// The protocol's internal headers together, for tests, benchmarks and fuzz
// targets that drive an instance step by step. The protocol's own sources
// include only the headers of the layers they use.
#pragma once

#include "engine.h"
#include "file_transfer.h"
#include "instance.h"
#include "receiver.h"
#include "send_queue.h"
