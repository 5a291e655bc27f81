// The channel record: the base record of every log message.
#include "record/handler.h"

MapValues Handler::getHandleToMap() const {
    MapValues map;
    setField(map, VESK_KEY_HANDLERNAME, m_handlerName);
    setField(map, VESK_FIX_PRJNAME, m_projectName);
    setField(map, VESK_FIX_PRJVER, m_projectVersion);
    setField(map, VESK_FIX_LOGTYPE, m_logType);
    setField(map, VESK_FIX_LOGSOURCE, m_logSource);
    setField(map, VESK_KEY_USERID, m_userId);
    setField(map, VESK_KEY_CRASHSTYLE, m_crashStyle);
    setField(map, VESK_KEY_SYMMETHOD, m_symMethod);
    setField(map, VESK_KEY_DEVICEMODEL, m_deviceModel);
    setField(map, VESK_KEY_PLATFORM, m_platform);
    setField(map, VESK_KEY_DEVICEID, m_deviceID);
    setField(map, VESK_KEY_SESSIONID, m_sessionID);
    setField(map, VESK_KEY_SDKVERSION, m_sdkVersion);
    // Custom fields last, in key order: they replace fixed fields of the same key.
    for (const auto& field : m_custom_fields) setField(map, field.first, field.second);
    return map;
}

std::shared_ptr<const MapValues> Handler::recordFields() const {
    if (!m_recordFields) {
        auto fields = std::make_shared<MapValues>(getHandleToMap());
        // The sending thread routes by this field: a custom field of that name must not send
        // the record to another channel or lose it.
        (*fields)[VESK_KEY_HANDLERNAME] = m_handlerName;
        m_recordFields = std::move(fields);
    }
    return m_recordFields;
}

void Handler::setField(MapValues& map, const std::string& key, const std::string& value) {
    if (key.empty() || value.empty()) return;
    map[key] = value;
}
