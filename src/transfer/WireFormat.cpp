#include "transfer/WireFormat.h"

#include "base/SysUtils.h"
#include "transfer/TransferLimits.h"

TransferPieces MakeTransferPieces(std::string_view text)
{
    TransferPieces pieces;
    pieces.length = IntToStr(static_cast<std::int64_t>(text.size()));
    pieces.text = text;
    return pieces;
}

bool FitsOneTransfer(std::string_view text)
{
    return text.size() <= static_cast<std::size_t>(MaxTransferBytes);
}
