#pragma once

namespace platform::qt {

// Ends a process that used the sound layer with `status`, once its own
// objects are gone: flushes the standard streams and leaves without running
// the libraries' static destructors. Qt Multimedia tears down its
// sound-server connection in one of those while the connection's thread may
// still be handling the server's notice that a stream just stopped, and the
// process then aborts at exit, after its work, losing buffered output. A
// sanitizer build runs its leak check first.
[[noreturn]] void endProcess(int status);

} // namespace platform::qt
