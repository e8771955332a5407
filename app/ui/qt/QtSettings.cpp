#include "app/ui/qt/QtSettings.hpp"

#include "app/core/Log.hpp"

#include <QSettings>
#include <QString>
#include <QVariant>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace torvane {

namespace {

QString qstr(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QSettings open(const std::filesystem::path& file) {
    return QSettings(QString::fromStdString(file.string()), QSettings::IniFormat);
}

// A setting that did not reach the disk would silently come back changed after a restart.
void save(QSettings& s, const std::filesystem::path& file) {
    s.sync();
    if (s.status() != QSettings::NoError)
        Log::write("WARN: 設定を保存できません: " + file.string());
}

std::filesystem::path home() {
    if (const char* h = std::getenv("HOME"); h && *h)
        return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

} // namespace

QtSettings::QtSettings(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path QtSettings::defaultFile() {
    // XDG: a relative XDG_CONFIG_HOME is invalid and ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return std::filesystem::path(config) / "torvane" / "torvane.conf";
    return home() / ".config" / "torvane" / "torvane.conf";
}

std::optional<long long> QtSettings::integer(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = open(file_).value(qstr(key));
    if (!v.isValid())
        return std::nullopt;
    bool ok = false;
    const long long n = v.toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return n;
}

std::optional<bool> QtSettings::boolean(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = open(file_).value(qstr(key));
    if (!v.isValid())
        return std::nullopt;
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    // Read back from the file every value is text; anything but these is not a boolean.
    const QString s = v.toString().trimmed().toLower();
    if (s == QLatin1String("true") || s == QLatin1String("1"))
        return true;
    if (s == QLatin1String("false") || s == QLatin1String("0"))
        return false;
    return std::nullopt;
}

std::optional<std::string> QtSettings::string(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = open(file_).value(qstr(key));
    if (!v.isValid() || !v.canConvert<QString>())
        return std::nullopt;
    return v.toString().toStdString();
}

void QtSettings::setInteger(std::string_view key, long long value) {
    std::lock_guard lock(mutex_);
    QSettings s = open(file_);
    s.setValue(qstr(key), static_cast<qlonglong>(value));
    save(s, file_);
}

void QtSettings::setBoolean(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    QSettings s = open(file_);
    s.setValue(qstr(key), value);
    save(s, file_);
}

void QtSettings::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    QSettings s = open(file_);
    s.setValue(qstr(key), qstr(value));
    save(s, file_);
}

} // namespace torvane
