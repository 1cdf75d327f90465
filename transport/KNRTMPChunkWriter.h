#pragma once
// Writes one media packet of an RTMP library session to its socket in a single system call: the
// chunk headers the library would write, gathered with the body's pieces, byte for byte what the
// library's own send would put on the wire (it writes each chunk with a system call of its own).
// The library's record of the channel's last packet is kept as it keeps it, so that its own later
// sends on the channel compress their headers the same way. Over TLS handed to the library, the
// packet goes as records in one flush.
#include <librtmp/rtmp.h>

class KNRTMPChunkWriter {
public:
    enum class Result {
        Sent,
        Failed,      // the connection is closed, as the library closes it when a write fails
        NotHandled,  // left to the library: not a media packet, or a link it must write itself
    };

    static Result send(RTMP* rtmp, RTMPPacket& packet);
};
