#include "platform/qt/settings_file.h"

#include <QSettings>
#include <QString>
#include <QVariant>

namespace platform::qt {

std::map<std::string, SettingsFileValue> readSettingsFile(const std::string& path,
                                                          const std::string& section,
                                                          const std::vector<std::string>& keys) {
    std::map<std::string, SettingsFileValue> values;
    QSettings file(QString::fromStdString(path), QSettings::IniFormat);
    file.beginGroup(QString::fromStdString(section));
    for (const std::string& key : keys) {
        const QString name = QString::fromStdString(key);
        if (!file.contains(name))
            continue;
        const QVariant value = file.value(name);
        SettingsFileValue& read = values[key];
        if (value.typeId() == QMetaType::QStringList)
            read.kind = SettingsFileValue::Kind::List;
        else if (value.typeId() != QMetaType::QString)
            read.kind = SettingsFileValue::Kind::Other;
        else
            read.text = value.toString().toStdString();
    }
    return values;
}

} // namespace platform::qt
