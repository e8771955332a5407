#include "app/ui/CarryReport.hpp"

namespace torvane {

namespace {

std::string batteryReleaseText(BatteryGuard::Cause cause, std::optional<int> percent, int floor) {
    const std::string floorText = "下限 " + std::to_string(floor) + "%";
    switch (cause) {
    case BatteryGuard::Cause::unreadable:
        return "バッテリー残量を読み取れません（" + floorText + "）。安全のため自動解除します";
    case BatteryGuard::Cause::outOfRange:
        return "バッテリー残量の値 " + std::to_string(*percent) + "% は正しくありません（" + floorText +
               "）。安全のため自動解除します";
    case BatteryGuard::Cause::unclearSource:
        return "電源の状態が分かりません（バッテリー " + std::to_string(*percent) + "%、" + floorText +
               "）。安全のため自動解除します";
    case BatteryGuard::Cause::belowFloor:
        break;
    }
    return "バッテリー " + std::to_string(*percent) + "%（" + floorText + "）。安全のため自動解除します";
}

} // namespace

CarryReport reportGuards(const CarryDecision& d, const CarryInputs& in,
                         const std::optional<std::string>& floorWarning,
                         const std::optional<std::string>& limitWarning) {
    CarryReport r;
    if (floorWarning)
        r.lines.push_back(*floorWarning);
    if (d.battery.change == BatteryGuard::Change::released) {
        r.releases.push_back(batteryReleaseText(d.battery.cause, in.power.percent, in.floor));
        // A release on a reading that cannot be trusted says so: the gauge may need looking at.
        r.lines.push_back(d.battery.cause == BatteryGuard::Cause::belowFloor ? r.releases.back()
                                                                             : "WARN: " + r.releases.back());
    } else if (d.battery.change == BatteryGuard::Change::recovered) {
        r.lines.push_back("バッテリー条件が回復しました");
    }
    if (limitWarning)
        r.lines.push_back(*limitWarning);
    if (d.heat.lost)
        r.lines.push_back("WARN: 温度を読み取れなくなりました。温度の上限による自動解除は働きません");
    if (d.heat.change == HeatGuard::Change::recovered)
        r.lines.push_back("温度条件が回復しました（現在 " + std::to_string(*d.heat.celsius) + "°C）");
    if (d.heat.change == HeatGuard::Change::released) {
        r.releases.push_back("温度が上限 (" + std::to_string(in.heatLimit) +
                             "°C) に達したため持ち運びモードを解除しました（現在 " +
                             std::to_string(*d.heat.celsius) + "°C）");
        r.lines.push_back("WARN: " + r.releases.back());
    }
    if (d.work.change == WorkDoneGuard::Change::released) {
        r.releases.push_back("作業が終わったため持ち運びモードを解除しました");
        r.lines.push_back(r.releases.back());
    }
    return r;
}

} // namespace torvane
