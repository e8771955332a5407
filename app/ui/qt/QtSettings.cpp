#include "app/ui/qt/QtSettings.hpp"

#include "app/core/Log.hpp"
#include "common/Clock.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QString>
#include <QVariant>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace torvane {

namespace {

QString qstr(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QSettings open(const std::filesystem::path& file) {
    return QSettings(QString::fromStdString(file.string()), QSettings::IniFormat);
}

// The file holds the phone link's token, which lets its holder type into the user's shells: it is
// the owner's alone, and so is any directory made for it. A file that is already there is tightened.
void makeOwnerOnly(const std::filesystem::path& file) {
    std::vector<std::filesystem::path> missing;
    std::error_code ec;
    for (auto dir = file.parent_path(); !dir.empty() && !std::filesystem::exists(dir, ec);
         dir = dir.parent_path()) {
        missing.push_back(dir);
        if (dir == dir.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        ::mkdir(it->c_str(), 0700);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0)
        return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
        ::fchmod(fd, st.st_mode & 0700);
    ::close(fd);
}

// A setting that did not reach the disk would silently come back changed after a restart.
bool save(QSettings& s, const std::filesystem::path& file) {
    makeOwnerOnly(file);
    s.sync();
    makeOwnerOnly(file); // in case the file was replaced by one with the default mode
    if (s.status() == QSettings::NoError)
        return true;
    Log::write("WARN: 設定を保存できません: " + file.string());
    return false;
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
    const QVariant v = value(key);
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
    const QVariant v = value(key);
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
    const QVariant v = value(key);
    // An unquoted value with commas is a list to QSettings: it reads as the JSON array of its items,
    // so "notifyCommand=/usr/bin/tool, --stdin" names a program and its argument.
    if (v.typeId() == QMetaType::QVariantList || v.typeId() == QMetaType::QStringList)
        return QJsonDocument(QJsonArray::fromStringList(v.toStringList()))
            .toJson(QJsonDocument::Compact)
            .toStdString();
    if (!v.isValid() || !v.canConvert<QString>())
        return std::nullopt;
    return v.toString().toStdString();
}

QVariant QtSettings::value(std::string_view key) const {
    if (const auto it = unsaved_.find(key); it != unsaved_.end())
        return it->second;
    // Stat first: a change made while the file is read is then seen at the next call.
    struct stat st {};
    const FileVersion version = ::stat(file_.c_str(), &st) == 0
                                    ? FileVersion{st.st_dev, st.st_ino, st.st_size, modificationTime(st)}
                                    : FileVersion{};
    if (version != read_) {
        QSettings s = open(file_);
        values_.clear();
        for (const QString& k : s.allKeys())
            values_.insert_or_assign(k.toStdString(), s.value(k));
        read_ = version;
    }
    const auto it = values_.find(key);
    return it == values_.end() ? QVariant() : it->second;
}

bool QtSettings::store(std::string_view key, const QVariant& value) {
    std::lock_guard lock(mutex_);
    unsaved_.insert_or_assign(std::string(key), value);
    QSettings s = open(file_);
    for (const auto& [k, v] : unsaved_)
        s.setValue(qstr(k), v);
    read_.reset(); // read back at the next call, with whatever else the file holds by then
    if (!save(s, file_))
        return false;
    unsaved_.clear();
    return true;
}

void QtSettings::exclusive(const std::function<void()>& change) {
    const std::lock_guard lock(exclusiveMutex_);
    makeOwnerOnly(file_); // makes the directory too
    const std::string lockPath = file_.string() + ".flock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // Without the lock the change is still made: losing a race with the command line is the lesser harm.
    int locked = fd < 0 ? -1 : ::flock(fd, LOCK_EX);
    while (locked != 0 && fd >= 0 && errno == EINTR)
        locked = ::flock(fd, LOCK_EX);
    if (locked != 0)
        Log::write("WARN: 設定の排他ロックを取れません: " + lockPath);
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0)
                ::close(fd); // releases the flock
        }
    } unlock{fd};
    change();
}

bool QtSettings::setInteger(std::string_view key, long long value) {
    return store(key, static_cast<qlonglong>(value));
}

bool QtSettings::setBoolean(std::string_view key, bool value) {
    return store(key, value);
}

bool QtSettings::setString(std::string_view key, std::string_view value) {
    return store(key, qstr(value));
}

} // namespace torvane
