#pragma once

#include <string>

// What "tracert -4 -d -h 2 -w 4 8.8.8.8" prints on Windows, with its CRLF line ends: a blank line,
// the header naming the destination, a blank line, one line per hop, a blank line and the closing
// line. A hop that does not answer in time shows three stars and "Request timed out.".
namespace recorded {

inline const std::string twoHopsAnswer = "\r\n"
                                         "Tracing route to 8.8.8.8 over a maximum of 2 hops\r\n"
                                         "\r\n"
                                         "  1    <1 ms    <1 ms    <1 ms  192.168.1.1 \r\n"
                                         "  2     3 ms     2 ms     3 ms  10.0.0.1 \r\n"
                                         "\r\n"
                                         "Trace complete.\r\n";

inline const std::string firstHopTimesOut = "\r\n"
                                            "Tracing route to 8.8.8.8 over a maximum of 2 hops\r\n"
                                            "\r\n"
                                            "  1     *        *        *     Request timed out.\r\n"
                                            "  2    11 ms     9 ms    10 ms  10.0.0.1 \r\n"
                                            "\r\n"
                                            "Trace complete.\r\n";

inline const std::string noHopAnswers = "\r\n"
                                        "Tracing route to 8.8.8.8 over a maximum of 2 hops\r\n"
                                        "\r\n"
                                        "  1     *        *        *     Request timed out.\r\n"
                                        "  2     *        *        *     Request timed out.\r\n"
                                        "\r\n"
                                        "Trace complete.\r\n";

// The C runtime reads a pipe opened with "r" in text mode, where CRLF arrives as LF.
inline std::string asReadInTextMode(std::string text)
{
    for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

} // namespace recorded
