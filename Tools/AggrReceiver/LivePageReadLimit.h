// A limit on what one of the live page's HTTP workers reads from the connection it serves.
//
// cpp-httplib 0.11 (Debian 12) bounds each line of a request head but not their number: a client
// that sends header lines without end would fill the receiver's memory. Its reads go through
// recv, which LivePageReadLimit.cpp provides in front of the C library's: on a thread that has a
// limit, recv fails with EMSGSIZE once the limit is used up, so the library answers 400 and
// closes the connection. Other threads (the TLS side reads with read, not recv) are not touched.
#pragma once

#include <cstddef>

namespace aggrreceiver {

// Gives the calling thread `bytes` to read from now on, in place of what it had.
void limitReadsOfThisThread(std::size_t bytes);

}  // namespace aggrreceiver
