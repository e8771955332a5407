#include "tests/fakes/MemorySettings.hpp"

namespace torvane {

template <class T> std::optional<T> MemorySettings::get(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    if (const T* v = std::get_if<T>(&it->second))
        return *v;
    return std::nullopt;
}

std::optional<long long> MemorySettings::integer(std::string_view key) const {
    return get<long long>(key);
}
std::optional<bool> MemorySettings::boolean(std::string_view key) const {
    return get<bool>(key);
}
std::optional<std::string> MemorySettings::string(std::string_view key) const {
    return get<std::string>(key);
}

bool MemorySettings::setInteger(std::string_view key, long long value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), value);
    return !failSaves;
}
bool MemorySettings::setBoolean(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), value);
    return !failSaves;
}
bool MemorySettings::setString(std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::string(key), std::string(value));
    return !failSaves;
}

} // namespace torvane
