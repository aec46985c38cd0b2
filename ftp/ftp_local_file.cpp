// The local file of a transfer. A download's file is opened once the server
// has accepted the transfer and written as it arrives; an upload's is opened
// when the data connection is ready and read chunk by chunk (a pipe, FIFO
// or device as the loop finds it readable). Either is closed whenever the
// transfer ends.
#include "ftp/ftp_ascii.h"
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"

#include "platform/error.h"
#include "platform/event_loop.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::Error;
using M = FtpAsyncMethod;
using namespace ftp::detail;

bool CFtpClient::LocalFileExists(const std::string& path) const {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::int64_t CFtpClient::LocalFileLength(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw fileError(PathFileAccessError, "CFtpClient.LocalFileLength", "Cannot read", path,
                        errno);
    return static_cast<std::int64_t>(info.st_size);
}

namespace {

// What a download's local path names, following symbolic links.
enum class LocalKind { Missing, Regular, Directory, Special };

LocalKind localKind(const std::string& path, std::int64_t* length = nullptr) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return LocalKind::Missing;
    if (length)
        *length = static_cast<std::int64_t>(info.st_size);
    if (S_ISREG(info.st_mode))
        return LocalKind::Regular;
    return S_ISDIR(info.st_mode) ? LocalKind::Directory : LocalKind::Special;
}

} // namespace

// A download never goes into a folder; the check comes before anything is
// sent.
void CFtpClient::CheckDownloadTarget(const std::string& path) const {
    if (localKind(path) == LocalKind::Directory)
        throw fileError(PathFileAccessError, "CFtpClient.DownloadFile", "Cannot download into",
                        path, EISDIR);
}

// Where a download resumes: the length of the regular file at the local
// path, or -1 when there is nothing to resume (no file, an overwrite, or a
// device or FIFO, which is written as it is).
std::int64_t CFtpClient::ResumeOffset() const {
    std::int64_t length = 0;
    if (m_overwrite || localKind(m_localPath, &length) != LocalKind::Regular)
        return -1;
    return length;
}

// The data connection is ready: a REST goes out for a resume. The local
// file itself is not touched yet (see AcceptDownload).
void CFtpClient::OpenLocalFile() {
    try {
        const LocalKind kind = localKind(m_localPath);
        if (kind == LocalKind::Directory)
            throw fileError(PathFileAccessError, "CFtpClient.OpenLocalFile", "Cannot download into",
                            m_localPath, EISDIR);
        if (m_localFile >= 0) {
            ::close(m_localFile);
            m_localFile = -1;
        }
        // What can be told without touching the file is told before RETR: a
        // file that may not be written, or a folder that is not there.
        std::string writable = m_localPath;
        if (kind == LocalKind::Missing) {
            const auto slash = m_localPath.find_last_of('/');
            writable = slash == std::string::npos ? "." : m_localPath.substr(0, slash + 1);
        }
        if (::access(writable.c_str(), W_OK) != 0)
            throw fileError(PathFileAccessError, "CFtpClient.OpenLocalFile", "Cannot open",
                            m_localPath, errno);
        const std::int64_t resume = ResumeOffset();
        m_transfer.resumeFrom = resume >= 1 ? resume : 0;
        m_downloadByteCount = m_transfer.resumeFrom;
        if (m_transfer.resumeFrom >= 1)
            SendFtpCommand("REST", std::to_string(m_transfer.resumeFrom));
    } catch (...) {
        rethrowFrom("OpenLocalFile");
    }
}

// The server has accepted the download: now the local file is opened for
// writing. A regular file is truncated (overwrite) or written from the
// resume offset; a missing one is created (and removed again should the
// download fail before anything arrives); a device or FIFO is written as
// it is, never replaced.
void CFtpClient::AcceptDownload() {
    if (m_localFile >= 0 || m_currentMethod != M::DownloadFile)
        return;
    const char* source = "CFtpClient.OpenLocalFile";
    int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
    switch (localKind(m_localPath)) {
    case LocalKind::Missing:
        // O_EXCL: a link that points nowhere is not followed to make a file.
        flags |= O_CREAT | O_EXCL;
        m_transfer.localCreated = true;
        break;
    case LocalKind::Regular:
        if (m_transfer.resumeFrom == 0 && m_overwrite)
            flags |= O_TRUNC;
        break;
    case LocalKind::Special:
        flags |= O_NONBLOCK; // a FIFO without a reader fails instead of blocking
        break;
    case LocalKind::Directory:
        throw fileError(PathFileAccessError, source, "Cannot download into", m_localPath, EISDIR);
    }
    m_localFile = ::open(m_localPath.c_str(), flags, 0644);
    if (m_localFile < 0) {
        m_transfer.localCreated = false;
        throw fileError(PathFileAccessError, source, "Cannot open", m_localPath, errno);
    }
    if (flags & O_NONBLOCK)
        ::fcntl(m_localFile, F_SETFL, ::fcntl(m_localFile, F_GETFL) & ~O_NONBLOCK);
    if (m_transfer.resumeFrom >= 1 &&
        ::lseek(m_localFile, static_cast<off_t>(m_transfer.resumeFrom), SEEK_SET) < 0)
        throw fileError(DeviceIoError, source, "Cannot position in", m_localPath, errno);
}

// Opens the upload's source without waiting (a FIFO no writer has opened
// would otherwise hold the loop in open()). A regular file is read at
// positions and its length is known; a pipe, FIFO or device is read to
// its end, from its start only.
void CFtpClient::OpenLocalFileForUpload() {
    try {
        const char* source = "CFtpClient.OpenLocalFileForUpload";
        m_uploadPosition = m_uploadStartPosition;
        if (m_localFile >= 0)
            CloseLocalSource();
        m_localFile = ::open(m_localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (m_localFile < 0)
            throw fileError(errno == ENOENT ? FileNotFound : PathFileAccessError, source,
                            "Cannot open", m_localPath, errno);
        struct stat info {};
        if (::fstat(m_localFile, &info) != 0)
            throw fileError(PathFileAccessError, source, "Cannot read", m_localPath, errno);
        if (S_ISDIR(info.st_mode))
            throw fileError(PathFileAccessError, source, "Cannot upload", m_localPath, EISDIR);
        m_transfer.streamSource = !S_ISREG(info.st_mode);
        if (m_transfer.streamSource && m_uploadStartPosition > 0)
            throw fileError(PathFileAccessError, source, "Cannot start at an offset in",
                            m_localPath, ESPIPE);
        m_localFileLength = m_transfer.streamSource ? -1 : static_cast<std::int64_t>(info.st_size);
        m_TransferSize = m_localFileLength;
        if (m_uploadStartPosition >= 1)
            SendFtpCommand("REST", std::to_string(m_uploadStartPosition));
    } catch (...) {
        rethrowFrom("OpenLocalFileForUpload");
    }
}

void CFtpClient::WriteLocal(const std::uint8_t* at, std::size_t left) {
    while (left > 0) {
        const ssize_t n = ::write(m_localFile, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw fileError(DeviceIoError, "CFtpClient.m_objDataSocket_OnDataArrival",
                            "Cannot write to", m_localPath, n < 0 ? errno : ENOSPC);
        at += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Sends the next pass of pieces, or, at the end of the file, closes the
// file and the data connection, which tells the server that the file is
// complete. A pass reads several pieces with one read and hands them to the
// socket with one SendData; OnSendComplete raises one progress event per
// piece. The first pass holds one piece, each next one twice as many, up to
// UploadPassBytes. The position moves by the bytes actually read: a file
// that shrinks while it is being sent ends where its data ends. In ASCII
// mode each LF goes out as CR LF. A pipe, FIFO or device gives at most one
// piece a pass; one that has nothing yet calls again once it has
// (LocalSourceReadable).
void CFtpClient::UploadData() {
    try {
        if (m_currentMethod != M::UploadFile)
            return;
        const std::size_t pass = m_uploadPiece * m_transfer.passPieces;
        const std::size_t size =
            m_transfer.streamSource ? m_uploadPiece
            : m_uploadPosition < m_localFileLength
                ? static_cast<std::size_t>(std::min<std::int64_t>(
                      m_localFileLength - m_uploadPosition, static_cast<std::int64_t>(pass)))
                : 0;
        // The file is read into the same space each pass; in binary mode
        // the socket offers those very bytes to the kernel and copies only
        // what the kernel leaves.
        ByteArray& bytes = m_uploadBuffer;
        bytes.resize(size);
        std::int64_t n = 0;
        if (size > 0 && m_transfer.streamSource) {
            n = ReadStream(bytes.data(), size);
            if (n < 0)
                return; // nothing yet
        } else if (size > 0) {
            ssize_t got = 0;
            do {
                got =
                    ::pread(m_localFile, bytes.data(), size, static_cast<off_t>(m_uploadPosition));
            } while (got < 0 && errno == EINTR);
            if (got < 0)
                throw fileError(DeviceIoError, "CFtpClient.UploadData", "Cannot read", m_localPath,
                                errno);
            n = got;
        }
        if (n == 0) {
            m_uploadBuffer = ByteArray();
            CloseLocalFile();
            m_data.finishSending();
            m_transfer.uploadClosed = true;
            return;
        }
        m_transfer.passStart = m_uploadPosition;
        m_uploadPosition += n;
        if (pass * 2 <= std::max(UploadPassBytes, m_uploadPiece))
            m_transfer.passPieces *= 2;
        bytes.resize(static_cast<std::size_t>(n));
        if (!m_transfer.ascii) {
            m_data.socket().SendData(bytes);
            return;
        }
        ByteArray wire;
        ftp::AsciiToWire(bytes.data(), bytes.size(), wire);
        m_data.socket().SendData(Variant(std::move(wire)));
    } catch (...) {
        rethrowFrom("UploadData");
    }
}

// Reads what a pipe, FIFO or device has: the count (0 at its end), or -1
// when it has nothing yet and the loop waits for it. Each read follows a
// sign of readiness, the first above all: a FIFO that no writer has opened
// yet reads as ended, but is not ready until one has written or gone.
std::int64_t CFtpClient::ReadStream(std::uint8_t* into, std::size_t size) {
    for (;;) {
        if (!m_transfer.sourceReady) {
            if (WaitForSource())
                return -1;
            // Not a thing the loop can wait for: such devices never keep a
            // reader waiting, so they are read as they are.
            m_transfer.sourceReady = true;
            m_transfer.sourceUnwatchable = true;
        }
        ssize_t n = 0;
        do {
            n = ::read(m_localFile, into, size);
        } while (n < 0 && errno == EINTR);
        if (n >= 0)
            return n;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || m_transfer.sourceUnwatchable)
            throw fileError(DeviceIoError, "CFtpClient.UploadData", "Cannot read", m_localPath,
                            errno);
        m_transfer.sourceReady = false;
    }
}

// Asks the loop to call LocalSourceReadable once the source can be read;
// false when the kernel cannot wait for it.
bool CFtpClient::WaitForSource() {
    auto& loop = platform::EventLoop::instance();
    if (!m_transfer.sourceWatched) {
        std::weak_ptr<CFtpClient> weak = weak_from_this();
        loop.watchFd(m_localFile, [weak](int, std::uint32_t) {
            if (auto self = weak.lock())
                self->LocalSourceReadable();
        });
        m_transfer.sourceWatched = true;
    }
    return loop.setFdEvents(m_localFile, EPOLLIN); // the loop waits in epoll
}

void CFtpClient::LocalSourceReadable() {
    try {
        platform::EventLoop::instance().setFdEvents(m_localFile, 0);
        m_transfer.sourceReady = true;
        UploadData();
    } catch (...) {
        FailDataHandler("LocalSourceReadable");
    }
}

// Closes the local file, taking it out of the loop's wait first.
void CFtpClient::CloseLocalSource() {
    if (m_transfer.sourceWatched)
        platform::EventLoop::instance().unwatchFd(m_localFile);
    m_transfer.sourceWatched = false;
    m_transfer.sourceReady = false;
    ::close(m_localFile);
    m_localFile = -1;
}

// Closes the transfer's local file. A file the failed download created and
// wrote nothing to is removed again (only if it is still the very file).
void CFtpClient::CloseLocalFile() {
    if (m_localFile >= 0) {
        struct stat opened {
        }, named{};
        if (m_transfer.localCreated && !m_transfer.downloadComplete && m_downloadByteCount == 0 &&
            ::fstat(m_localFile, &opened) == 0 && ::lstat(m_localPath.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino && named.st_size == 0)
            ::unlink(m_localPath.c_str());
        CloseLocalSource();
    }
    m_transfer.localCreated = false;
    m_localPath.clear();
    m_remotePath.clear();
    m_downloadByteCount = 0;
    m_uploadPosition = 0;
    m_localFileLength = 0;
    m_uploadStartPosition = 0;
    m_overwrite = false;
}
