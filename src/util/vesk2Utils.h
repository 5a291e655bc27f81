// Types shared by every layer: one log record and a queue of records.
#pragma once

#include <list>
#include <map>
#include <string>

// One log record: field key -> value, ordered by key.
typedef std::map<std::string, std::string> MapValues;
typedef std::map<std::string, std::string> Map_String;
// A queue of records, oldest first.
typedef std::list<MapValues> ListJobs;
typedef std::list<MapValues> lsListObj;
