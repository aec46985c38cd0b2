#pragma once

#include "net/variant.h"

#include <cstddef>
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

// Where the entries of a collection read from a listing come from: the
// listing's text, which makes the entry of the line that starts at a given
// offset each time it is asked for.
class CFtpFileSource {
public:
    virtual ~CFtpFileSource() = default;
    virtual std::shared_ptr<CFtpFile> read(std::uint64_t lineStart) const = 0;
};

// The entries of one listing, in the order of its lines. Positions are
// 1-based. Names need not be unique: entries are reached by position and
// by iteration, and the name handed to `Add` is not used as a key.
//
// A collection made by the listing parser keeps only where each line
// starts (8 bytes an entry) beside the listing's text: an entry it hands
// out is made from its line when asked for, a new object each time, so
// that a listing of millions of lines costs little more than its text.
// An entry given to `Add` is kept as it is.
class CFtpFiles {
public:
    static std::shared_ptr<CFtpFiles> create(std::shared_ptr<const CFtpFileSource> source = {}) {
        return std::shared_ptr<CFtpFiles>(new CFtpFiles(std::move(source)));
    }

    // Appends the entry and returns it.
    std::shared_ptr<CFtpFile> Add(std::shared_ptr<CFtpFile> oFtpFile,
                                  const std::string& vKey = std::string());
    // Raises 9 "Subscript out of range" for a position outside 1..Count.
    std::shared_ptr<CFtpFile> Item(std::int32_t vntIndexKey) const;
    std::int32_t Count() const { return static_cast<std::int32_t>(m_slots.size()); }
    // Raises 9 "Subscript out of range" for a position outside 1..Count.
    void Remove(std::int32_t vntIndexKey);

    // For the listing parser: appends the entry of the source's line that
    // starts at `lineStart`; `reserve` makes room for `count` entries.
    void AddLine(std::uint64_t lineStart) { m_slots.push_back(lineStart); }
    void reserve(std::size_t count) { m_slots.reserve(count); }

    // Iteration in order; each step gives the entry (see above).
    class const_iterator {
    public:
        using value_type = std::shared_ptr<CFtpFile>;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const CFtpFiles* files, std::size_t at) : m_files(files), m_at(at) {}
        value_type operator*() const { return m_files->at(m_at); }
        const_iterator& operator++() {
            ++m_at;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++m_at;
            return before;
        }
        bool operator==(const const_iterator& other) const { return m_at == other.m_at; }

    private:
        const CFtpFiles* m_files = nullptr;
        std::size_t m_at = 0;
    };
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_slots.size()); }

private:
    explicit CFtpFiles(std::shared_ptr<const CFtpFileSource> source)
        : m_source(std::move(source)) {}
    std::size_t index(std::int32_t position, const char* source) const;
    std::shared_ptr<CFtpFile> at(std::size_t index) const;

    // A line's start in the source, or, with the top bit set, the position
    // of an added entry in m_added.
    static constexpr std::uint64_t Added = std::uint64_t(1) << 63;
    std::vector<std::uint64_t> m_slots;
    std::vector<std::shared_ptr<CFtpFile>> m_added;
    std::shared_ptr<const CFtpFileSource> m_source;
};
