// Stands in for memfd_create as a system without memory files answers it
// (ENOSYS), for the program linked with --wrap=memfd_create: the file
// mapping then has to take its private copy.
#include <atomic>
#include <cerrno>

namespace orvane::test {
std::atomic<int> g_memoryFileRequests{0};
}  // namespace orvane::test

extern "C" int __wrap_memfd_create(const char*, unsigned int) {
  ++orvane::test::g_memoryFileRequests;
  errno = ENOSYS;
  return -1;
}
