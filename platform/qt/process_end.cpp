#include "platform/qt/process_end.h"

#include <cstdio>
#include <iostream>

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define MITU_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
#define MITU_LEAK_CHECK 1
#endif
#endif

#ifdef MITU_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace platform::qt {

void endProcess(int status) {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
#ifdef MITU_LEAK_CHECK
    __lsan_do_leak_check(); // exits with the sanitizer's status on a leak
#endif
    ::_exit(status);
}

} // namespace platform::qt
