// Which per-poll traffic lines ("📤 Sent", "📥 Raw response", "📥 Message type", the puzzle's
// id and threshold, "No puzzle available") are printed: all of them with CRV_DEBUG; otherwise
// only those of a reply that differs from the one before, so a bridge that repeats itself every
// poll is logged once rather than some 3,600 lines an hour.
#pragma once

#include <iostream>
#include <string>

#include "bridge/text_prefix.h"
#include "diag/console_line.h"

// "📤 Sent: " and the first 100 characters of the message, then "...".
inline std::string sent_line(const std::string& text) { return "📤 Sent: " + text_prefix(text, 100) + "..."; }

class TrafficEcho {
public:
    explicit TrafficEcho(bool everything) : everything_(everything) {}

    // A request went out; its line waits for the reply, which decides whether it is printed.
    void request_sent(const std::string& text) { request_ = text; }

    // Whether the lines of this reply are printed; when they are, the waiting request line comes
    // first. A reply that differs from the previous one is news, and so is the first.
    bool reply(const std::string& line)
    {
        const bool news = everything_ || !seen_ || line != previous_;
        previous_ = line;
        seen_ = true;
        if (news && !request_.empty()) print_line(std::cout, sent_line(request_));
        request_.clear();
        return news;
    }

    // After a reconnect the first reply is news again.
    void forget() { seen_ = false; }

private:
    bool everything_;
    bool seen_ = false;
    std::string previous_;
    std::string request_;
};
