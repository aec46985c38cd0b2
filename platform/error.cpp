#include "platform/error.h"

#include <new>

namespace platform {

void rethrowWithSource(const std::string& source) {
    try {
        throw;
    } catch (const Error& e) {
        throw e.withSource(source);
    } catch (const std::bad_alloc&) {
        throw Error(7, source, "Out of memory");
    } catch (const std::exception& e) {
        throw Error(51, source, std::string("Internal error: ") + e.what());
    }
}

} // namespace platform
