#include "ftp/ftp_files.h"

#include "platform/error.h"

std::shared_ptr<CFtpFile> CFtpFiles::Add(std::shared_ptr<CFtpFile> oFtpFile, const std::string&) {
    if (!oFtpFile)
        throw platform::invalidCallError("CFtpFiles.Add");
    m_added.push_back(oFtpFile);
    m_slots.push_back(Added | (m_added.size() - 1));
    return oFtpFile;
}

std::size_t CFtpFiles::index(std::int32_t position, const char* source) const {
    if (position < 1 || static_cast<std::size_t>(position) > m_slots.size())
        throw platform::Error(platform::errors::SubscriptOutOfRange, source,
                              platform::errors::SubscriptOutOfRangeText);
    return static_cast<std::size_t>(position - 1);
}

std::shared_ptr<CFtpFile> CFtpFiles::at(std::size_t index) const {
    const std::uint64_t slot = m_slots[index];
    if (slot & Added)
        return m_added[static_cast<std::size_t>(slot & ~Added)];
    return m_source->read(slot);
}

std::shared_ptr<CFtpFile> CFtpFiles::Item(std::int32_t vntIndexKey) const {
    return at(index(vntIndexKey, "CFtpFiles.Item"));
}

void CFtpFiles::Remove(std::int32_t vntIndexKey) {
    const std::size_t at = index(vntIndexKey, "CFtpFiles.Remove");
    if (m_slots[at] & Added) // the entry goes; later added ones keep their places
        m_added[static_cast<std::size_t>(m_slots[at] & ~Added)].reset();
    m_slots.erase(m_slots.begin() + static_cast<std::ptrdiff_t>(at));
}
