// The bytes of one transfer on the wire.
//
// A transfer is two sends on the connection: the text's byte count as decimal
// ASCII digits (no sign, no leading zero, no terminator), then the text's
// bytes. Nothing else ever travels. The window's sender calls
// MakeTransferPieces and hands each piece to one send, length first; the
// receiver side lives in TransferReceiver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct TransferPieces {
    std::string length;    // for the first send
    std::string_view text; // for the second send; may be empty
};

// Splits a text into the two sends of its transfer. The text piece is a view
// of `text`, so a large text is not copied on its way to the sockets; it
// lasts as long as `text` does.
TransferPieces MakeTransferPieces(std::string_view text);

// Whether a text can be announced at all (see MaxTransferBytes).
bool FitsOneTransfer(std::string_view text);
