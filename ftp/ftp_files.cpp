#include "ftp/ftp_files.h"

#include "platform/error.h"

std::shared_ptr<CFtpFile> CFtpFiles::Add(std::shared_ptr<CFtpFile> oFtpFile, const std::string&) {
    if (!oFtpFile)
        throw platform::invalidCallError("CFtpFiles.Add");
    m_entries.push_back(oFtpFile);
    return oFtpFile;
}

std::size_t CFtpFiles::index(std::int32_t position, const char* source) const {
    if (position < 1 || static_cast<std::size_t>(position) > m_entries.size())
        throw platform::Error(platform::errors::SubscriptOutOfRange, source,
                              platform::errors::SubscriptOutOfRangeText);
    return static_cast<std::size_t>(position - 1);
}

std::shared_ptr<CFtpFile> CFtpFiles::Item(std::int32_t vntIndexKey) const {
    return m_entries[index(vntIndexKey, "CFtpFiles.Item")];
}

void CFtpFiles::Remove(std::int32_t vntIndexKey) {
    m_entries.erase(m_entries.begin() +
                    static_cast<std::ptrdiff_t>(index(vntIndexKey, "CFtpFiles.Remove")));
}
