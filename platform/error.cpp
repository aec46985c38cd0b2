#include "platform/error.h"

#include <exception>
#include <new>

namespace platform {

Error currentError(const std::string& source) {
    try {
        throw;
    } catch (const Error& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return Error(errors::OutOfMemory, source, errors::OutOfMemoryText);
    } catch (const std::exception& e) {
        return Error(errors::InternalError, source,
                     std::string(errors::InternalErrorText) + ": " + e.what());
    } catch (...) {
        return Error(errors::InternalError, source, errors::InternalErrorText);
    }
}

void rethrowWithSource(const std::string& source) {
    throw currentError(source).withSource(source);
}

} // namespace platform
