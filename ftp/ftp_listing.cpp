// A listing's text into entries: the lines it has, the reader each line
// goes to (ftp/listing_dos.cpp, ftp/listing_unix.cpp; ftp/listing_mlsd.cpp
// for MLSD), and the collection
// that makes an entry from its line when asked for. Whatever line cannot
// be read fails the whole listing.
#include "ftp/ftp_listing.h"

#include "ftp/ftp_client.h"
#include "ftp/listing_dos.h"
#include "ftp/listing_fields.h"
#include "ftp/listing_mlsd.h"
#include "ftp/listing_unix.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

// The moment a listing read with only a year is read at: the year's last
// minute, so that no date of that year lies ahead of it.
ListingTime endOfYear(int year) {
    return ListingTime{year, 12, 31, 23, 59};
}

ListingTime momentFor(int currentYear) {
    return currentYear != 0 ? endOfYear(currentYear) : ListingTimeNow();
}

std::shared_ptr<CFtpFile> fileOf(const ftp::ListingEntry* entry);

// How a listing is read: LIST lines in the format each is written in, or
// MLSD lines, whose times are given in the system's time zone.
struct Reading {
    ListingFormat format;
    ListingTime now;

    // The entry of one line, carriage returns removed; nullptr for an MLSD
    // line that is not listed; throws if the line cannot be read.
    std::shared_ptr<CFtpFile> read(std::string line) const {
        std::erase(line, '\r');
        if (format == ListingFormat::Machine) {
            const std::optional<ftp::MlsdLine> mlsd = ftp::ReadMlsdLine(line);
            if (!mlsd)
                throw ftp::listing::BadLine();
            return fileOf(mlsd->listed ? &mlsd->entry : nullptr);
        }
        const std::optional<ftp::ListingEntry> entry = ReadListingLine(line, now);
        if (!entry)
            throw ftp::listing::BadLine();
        return fileOf(&*entry);
    }
};

std::shared_ptr<CFtpFile> fileOf(const ftp::ListingEntry* entry) {
    if (!entry)
        return nullptr;
    auto file = CFtpFile::create();
    file->setFileName(entry->name);
    file->setLastWriteTime(entry->date);
    file->setFileSize(entry->size);
    file->setIsDirectory(entry->directory);
    file->setFilePath(entry->path);
    file->setPermissions(entry->permissions);
    file->setOwner(entry->owner);
    file->setGroup(entry->group);
    return file;
}

// The lines of a listing with an entry each: a first line "total ..." is
// skipped, a line of carriage returns only too, and a blank line ends the
// listing (MLSD: is skipped too). `visit(start, line)` is called for each;
// false stops the walk.
template <class Visit>
void walkListing(const std::string& text, ListingFormat format, Visit&& visit) {
    const bool machine = format == ListingFormat::Machine;
    std::size_t start = 0;
    if (!machine && text.size() >= 5 && ftp::listing::lower(text.substr(0, 5)) == "total") {
        const std::size_t end = text.find('\n');
        if (end != std::string::npos)
            start = end + 1;
    }
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::size_t lineStart = start;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() && !machine)
            break; // a blank line ends the listing
        if (line.find_first_not_of('\r') == std::string::npos)
            continue; // a line of CR LF only is skipped
        if (!visit(lineStart, std::move(line)))
            return;
    }
}

// Reads every line of `text`; returns false at the first line it cannot
// read, which is then left in `bad`. `read(start)` is called for each line
// that gives an entry.
template <class Read>
bool readListing(const std::string& text, const Reading& reading, std::string& bad, Read&& read) {
    bool ok = true;
    walkListing(text, reading.format, [&](std::size_t start, std::string line) {
        try {
            if (!reading.read(line))
                return true;
        } catch (const std::exception&) {
            std::erase(line, '\r');
            bad = std::move(line);
            ok = false;
            return false;
        }
        read(start);
        return true;
    });
    return ok;
}

// A listing's text as the source of its entries.
class ListingSource : public CFtpFileSource {
public:
    ListingSource(std::shared_ptr<const std::string> text, const Reading& reading)
        : m_text(std::move(text)), m_reading(reading) {}
    std::shared_ptr<CFtpFile> read(std::uint64_t lineStart) const override {
        const std::size_t start = static_cast<std::size_t>(lineStart);
        const std::size_t end = std::min(m_text->find('\n', start), m_text->size());
        return m_reading.read(m_text->substr(start, end - start));
    }

private:
    std::shared_ptr<const std::string> m_text;
    Reading m_reading;
};

std::shared_ptr<CFtpFiles> parse(std::shared_ptr<const std::string> text, const Reading& reading) {
    try {
        std::size_t lines = 0;
        walkListing(*text, reading.format,
                    [&](std::size_t, const std::string&) { return ++lines, true; });
        auto files = CFtpFiles::create(std::make_shared<ListingSource>(text, reading));
        files->reserve(lines);
        std::string bad;
        return readListing(*text, reading, bad, [&](std::size_t start) { files->AddLine(start); })
                   ? files
                   : nullptr;
    } catch (...) {
        return nullptr;
    }
}

std::optional<std::string> firstUnreadable(const std::string& text, const Reading& reading) {
    std::string bad;
    if (readListing(text, reading, bad, [](std::size_t) {}))
        return std::nullopt;
    return bad;
}

} // namespace

ListingTime ListingTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return ListingTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min};
}

std::optional<ftp::ListingEntry> ReadListingLine(const std::string& line, const ListingTime& now) {
    if (ftp::IsDosLine(line))
        return ftp::ReadDosLine(line);
    return ftp::ReadUnixLine(line, now);
}

std::shared_ptr<CFtpFiles> ParseListingAt(std::shared_ptr<const std::string> text,
                                          const ListingTime& now) {
    return parse(std::move(text), Reading{ListingFormat::Lines, now});
}

std::shared_ptr<CFtpFiles> ParseListingAt(const std::string& text, const ListingTime& now) {
    return ParseListingAt(std::make_shared<const std::string>(text), now);
}

std::shared_ptr<CFtpFiles> ParseMachineListing(std::shared_ptr<const std::string> text) {
    return parse(std::move(text), Reading{ListingFormat::Machine, ListingTime{}});
}

std::optional<std::string> FirstUnreadableListingLine(const std::string& text,
                                                      const ListingTime& now) {
    return firstUnreadable(text, Reading{ListingFormat::Lines, now});
}

std::optional<std::string> FirstUnreadableMachineListingLine(const std::string& text) {
    return firstUnreadable(text, Reading{ListingFormat::Machine, ListingTime{}});
}

std::int32_t CFtpClient::GetDateStartPosition(const std::string& line) {
    const std::optional<std::size_t> start = ftp::UnixDateStart(line);
    if (!start || *start >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    return static_cast<std::int32_t>(*start + 1);
}

Date CFtpClient::ParseUnixDate(const std::string& field, int currentYear) {
    return ftp::ReadUnixDate(field, momentFor(currentYear));
}

std::shared_ptr<CFtpFiles> CFtpClient::ParseListing(const std::string& listing, int currentYear) {
    return ParseListingAt(listing, momentFor(currentYear));
}
