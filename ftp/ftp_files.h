#pragma once

#include "net/variant.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One entry of a directory listing. A plain holder: the listing parser
// fills it, callers read it.
class CFtpFile {
public:
    static std::shared_ptr<CFtpFile> create() { return std::shared_ptr<CFtpFile>(new CFtpFile); }

    bool IsDirectory() const { return m_IsDirectory; }
    void setIsDirectory(bool vData) { m_IsDirectory = vData; }
    std::int64_t FileSize() const { return m_FileSize; }
    void setFileSize(std::int64_t vData) { m_FileSize = vData; }
    // Days since 30 December 1899, with the time of day as the fraction.
    Date LastWriteTime() const { return m_LastWriteTime; }
    void setLastWriteTime(Date vData) { m_LastWriteTime = vData; }
    std::string FileName() const { return m_FileName; }
    void setFileName(const std::string& vData) { m_FileName = vData; }
    // Target of a symbolic link; empty otherwise.
    std::string FilePath() const { return m_FilePath; }
    void setFilePath(const std::string& vData) { m_FilePath = vData; }
    std::string Permissions() const { return m_Permissions; }
    void setPermissions(const std::string& vData) { m_Permissions = vData; }
    std::string Owner() const { return m_Owner; }
    void setOwner(const std::string& vData) { m_Owner = vData; }
    std::string Group() const { return m_Group; }
    void setGroup(const std::string& vData) { m_Group = vData; }

private:
    CFtpFile() = default;

    std::string m_FileName;
    Date m_LastWriteTime;
    std::int64_t m_FileSize = 0;
    bool m_IsDirectory = false;
    std::string m_FilePath;
    std::string m_Permissions;
    std::string m_Owner;
    std::string m_Group;
};

// The entries of one listing, in the order of its lines. Positions are
// 1-based. Names need not be unique: entries are reached by position and
// by iteration, and the name handed to `Add` is not used as a key.
class CFtpFiles {
public:
    using Entries = std::vector<std::shared_ptr<CFtpFile>>;

    static std::shared_ptr<CFtpFiles> create() { return std::shared_ptr<CFtpFiles>(new CFtpFiles); }

    // Appends the entry and returns it.
    std::shared_ptr<CFtpFile> Add(std::shared_ptr<CFtpFile> oFtpFile,
                                  const std::string& vKey = std::string());
    // Raises 9 "Subscript out of range" for a position outside 1..Count.
    std::shared_ptr<CFtpFile> Item(std::int32_t vntIndexKey) const;
    std::int32_t Count() const { return static_cast<std::int32_t>(m_entries.size()); }
    // Raises 9 "Subscript out of range" for a position outside 1..Count.
    void Remove(std::int32_t vntIndexKey);

    // Iteration in order.
    Entries::const_iterator begin() const { return m_entries.begin(); }
    Entries::const_iterator end() const { return m_entries.end(); }

private:
    CFtpFiles() = default;
    std::size_t index(std::int32_t position, const char* source) const;

    Entries m_entries;
};
