// The local file of a transfer: opened when the data connection is ready,
// written as a download arrives, read chunk by chunk for an upload, closed
// whenever the transfer ends.
#include "ftp/ftp_client.h"
#include "ftp/ftp_client_internal.h"

#include "platform/error.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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

void CFtpClient::OpenLocalFile() {
    try {
        const char* source = "CFtpClient.OpenLocalFile";
        std::int64_t resume = 0;
        if (LocalFileExists(m_localPath)) {
            if (m_overwrite) {
                if (::unlink(m_localPath.c_str()) != 0)
                    throw fileError(PathFileAccessError, source, "Cannot delete", m_localPath,
                                    errno);
            } else {
                resume = LocalFileLength(m_localPath);
            }
        }
        if (m_localFile >= 0) {
            ::close(m_localFile);
            m_localFile = -1;
        }
        m_localFile = ::open(m_localPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_localFile < 0)
            throw fileError(PathFileAccessError, source, "Cannot open", m_localPath, errno);
        if (resume >= 1) {
            if (::lseek(m_localFile, static_cast<off_t>(resume), SEEK_SET) < 0)
                throw fileError(DeviceIoError, source, "Cannot position in", m_localPath, errno);
            m_downloadByteCount = resume;
            SendFtpCommand("REST", std::to_string(resume));
        }
    } catch (...) {
        rethrowFrom("OpenLocalFile");
    }
}

void CFtpClient::OpenLocalFileForUpload() {
    try {
        const char* source = "CFtpClient.OpenLocalFileForUpload";
        m_uploadPosition = m_uploadStartPosition;
        if (m_localFile >= 0) {
            ::close(m_localFile);
            m_localFile = -1;
        }
        m_localFile = ::open(m_localPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_localFile < 0)
            throw fileError(errno == ENOENT ? FileNotFound : PathFileAccessError, source,
                            "Cannot open", m_localPath, errno);
        struct stat info {};
        if (::fstat(m_localFile, &info) != 0)
            throw fileError(PathFileAccessError, source, "Cannot read", m_localPath, errno);
        if (S_ISDIR(info.st_mode))
            throw fileError(PathFileAccessError, source, "Cannot upload", m_localPath, EISDIR);
        m_localFileLength = static_cast<std::int64_t>(info.st_size);
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

// Sends the next chunk, or, at the end of the file, closes the file and the
// data connection, which tells the server that the file is complete. The
// position moves by the bytes actually read: a file that shrinks while it
// is being sent ends where its data ends. In ASCII mode each LF goes out
// as CR LF.
void CFtpClient::UploadData() {
    try {
        if (m_currentMethod != M::UploadFile)
            return;
        ssize_t n = 0;
        // In binary mode the file is read into the piece that is sent, and
        // the piece is handed to the socket without a copy.
        ByteArray piece;
        if (m_uploadPosition < m_localFileLength) {
            const std::int64_t remainder = m_localFileLength - m_uploadPosition;
            const std::size_t size =
                static_cast<std::size_t>(std::min<std::int64_t>(remainder, m_sendBuffer.size()));
            std::uint8_t* into = m_sendBuffer.data();
            if (!m_transfer.ascii) {
                piece.resize(size);
                into = piece.data();
            }
            do {
                n = ::pread(m_localFile, into, size, static_cast<off_t>(m_uploadPosition));
            } while (n < 0 && errno == EINTR);
            if (n < 0)
                throw fileError(DeviceIoError, "CFtpClient.UploadData", "Cannot read", m_localPath,
                                errno);
        }
        if (n == 0) {
            CloseLocalFile();
            m_objDataSocket->CloseSocket();
            return;
        }
        m_uploadPosition += n;
        if (!m_transfer.ascii) {
            piece.resize(static_cast<std::size_t>(n));
            m_objDataSocket->SendData(Variant(std::move(piece)));
            return;
        }
        const auto end = m_sendBuffer.begin() + n;
        m_wireBuffer.clear();
        for (auto at = m_sendBuffer.begin(); at != end; ++at) {
            if (*at == '\n')
                m_wireBuffer.push_back('\r');
            m_wireBuffer.push_back(*at);
        }
        m_objDataSocket->SendData(Variant(m_wireBuffer));
    } catch (...) {
        rethrowFrom("UploadData");
    }
}

void CFtpClient::CloseLocalFile() {
    if (m_localFile >= 0) {
        ::close(m_localFile);
        m_localFile = -1;
    }
    m_localPath.clear();
    m_remotePath.clear();
    m_downloadByteCount = 0;
    m_uploadPosition = 0;
    m_localFileLength = 0;
    m_uploadStartPosition = 0;
    m_overwrite = false;
}
