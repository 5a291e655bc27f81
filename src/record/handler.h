// The record of one log channel: its configuration, switches and custom fields.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "record/vesk2Define.h"
#include "util/vesk2Utils.h"

class Handler {
public:
    // Builds a new record from the channel's non-empty fields, then its custom fields.
    MapValues getHandleToMap() const;
    // The same fields with "handlerName" always the channel's own name, made once and shared by
    // the records of the channel until fieldsChanged() is called.
    std::shared_ptr<const MapValues> recordFields() const;
    // Whoever changes a field the record carries (user ID, custom fields, device ID, ...)
    // calls this, so the next record is made from the new fields.
    void fieldsChanged() { m_recordFields.reset(); }
    // Sets map[key] = value when both are non-empty; otherwise leaves the map unchanged.
    static void setField(MapValues& map, const std::string& key, const std::string& value);

    std::string m_Addr;
    uint16_t m_Port = 0;
    std::string m_sdCardPath;
    std::string m_directoryPath;
    std::string m_deviceIdPath;
    std::string m_handlerName;
    std::string m_projectName;
    std::string m_projectVersion;
    std::string m_logType;
    std::string m_logSource;
    std::string m_userId;
    // The level reported by getLogLevel; it filters nothing. INFO until setLogLevel.
    VESK_LOG_LEVEL m_elogLevel = VESK_LL_INFO;
    std::string m_sessionID;
    std::string m_deviceID;
    std::string m_sdkVersion;
    std::string m_crashStyle;
    std::string m_symMethod;
    std::string m_deviceModel;
    std::string m_platform;
    std::map<std::string, std::string> m_custom_fields;
    bool m_isEnableHost = false;
    bool m_isCorvane = false;
    bool m_isDeduplicate = false;
    bool m_isSessionEnable = false;
    bool m_isNormalEnable = false;
    bool m_isCrashEnable = false;
    bool m_SendOnlyMode = false;
    bool clientHost = false;

private:
    mutable std::shared_ptr<const MapValues> m_recordFields;
};
