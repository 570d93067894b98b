// The names under which the service is found on the system bus, shared by the service and its
// clients.
#pragma once

namespace zrq::bus {

inline constexpr const char* kServiceName = "org.horivo.Zrq1";
inline constexpr const char* kObjectPath = "/org/horivo/Zrq1";
inline constexpr const char* kManagerInterface = "org.horivo.Zrq1.Manager";
// The group whose members, besides root, may steer the service.
inline constexpr const char* kOperatorGroup = "zrq";

// The Set keys beyond those of `zrqd --set`: the log switches, "on" or "off", not saved.
inline constexpr const char* kJumpLogKey = "jumplog";
inline constexpr const char* kCommLogKey = "commlog";

}  // namespace zrq::bus
