// Lowers the scheduling priority of the calling thread only (on Linux the
// nice value belongs to each thread). The event streams' senders call it:
// when the processor is short, the communication thread, the journals and
// the ordinary RPC calls run first and a busy stream waits, never the other
// way round. Raising the nice value needs no privilege; it is not undone,
// so only a thread that does nothing else afterwards calls it.
#pragma once

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vexon {

inline constexpr int kStreamSenderNice = 10;

inline void LowerThisThreadPriority(int by = kStreamSenderNice) {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, tid);
  if (errno != 0) return;
  ::setpriority(PRIO_PROCESS, tid, std::min(now + by, 19));
}

}  // namespace vexon
