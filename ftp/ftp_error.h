#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The FTP client's error record: what the last failed method left behind.
// One record lives as long as its client; each failure overwrites it.
class CFtpError {
public:
    static std::shared_ptr<CFtpError> create() { return std::shared_ptr<CFtpError>(new CFtpError); }

    std::int32_t Number() const { return m_Number; }
    void setNumber(std::int32_t value) { m_Number = value; }
    std::string Description() const { return m_Description; }
    void setDescription(const std::string& value) { m_Description = value; }
    std::string Source() const { return m_Source; }
    void setSource(const std::string& value) { m_Source = value; }

    // Sets all three fields at once.
    void set(std::int32_t number, const std::string& description, const std::string& source) {
        m_Number = number;
        m_Description = description;
        m_Source = source;
    }
    void clear() { set(0, std::string(), std::string()); }

private:
    CFtpError() = default;

    std::int32_t m_Number = 0;
    std::string m_Description;
    std::string m_Source;
};
