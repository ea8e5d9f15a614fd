// GET /: the dashboard, one self-contained page (markup, style and script) that reads /summary
// every few seconds (every ?refresh=SECONDS, 0.5 at least) and draws each card's last hour.
#pragma once

#include <string>

const std::string& dashboardPage();
