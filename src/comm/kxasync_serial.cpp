#include "comm/kxasync_serial.h"

namespace {

TSerialParity ParityOfByte(std::uint8_t parity)
{
    switch (parity) {
    case ODDPARITY:
        return TSerialParity::Odd;
    case EVENPARITY:
        return TSerialParity::Even;
    case MARKPARITY:
        return TSerialParity::Mark;
    case SPACEPARITY:
        return TSerialParity::Space;
    default:
        return TSerialParity::None;
    }
}

std::uint8_t ByteOfParity(TSerialParity parity)
{
    switch (parity) {
    case TSerialParity::Odd:
        return ODDPARITY;
    case TSerialParity::Even:
        return EVENPARITY;
    case TSerialParity::Mark:
        return MARKPARITY;
    case TSerialParity::Space:
        return SPACEPARITY;
    case TSerialParity::None:
        break;
    }
    return NOPARITY;
}

TSerialStopBits StopBitsOfByte(std::uint8_t stopBits)
{
    switch (stopBits) {
    case ONE5STOPBITS:
        return TSerialStopBits::OneAndHalf;
    case TWOSTOPBITS:
        return TSerialStopBits::Two;
    default:
        return TSerialStopBits::One;
    }
}

std::uint8_t ByteOfStopBits(TSerialStopBits stopBits)
{
    switch (stopBits) {
    case TSerialStopBits::OneAndHalf:
        return ONE5STOPBITS;
    case TSerialStopBits::Two:
        return TWOSTOPBITS;
    case TSerialStopBits::One:
        break;
    }
    return ONESTOPBIT;
}

} // namespace

TSerialSettings SerialSettingsFromDCB(const DCB& dcb)
{
    TSerialSettings settings;
    settings.BaudRate = dcb.BaudRate;
    settings.DataBits = dcb.ByteSize;
    settings.Parity = ParityOfByte(dcb.Parity);
    settings.CheckParity = (dcb.Flags & fParity) != 0;
    settings.StopBits = StopBitsOfByte(dcb.StopBits);
    const std::uint32_t rtsControl = dcb.Flags & fRtsControl;
    settings.RtsCtsFlowControl = (dcb.Flags & fOutxCtsFlow) != 0 || rtsControl == fRtsControlHandshake;
    settings.XonXoffOutput = (dcb.Flags & fOutX) != 0;
    settings.XonXoffInput = (dcb.Flags & fInX) != 0;
    if (dcb.XonChar != 0 || dcb.XoffChar != 0) {
        settings.XonChar = dcb.XonChar;
        settings.XoffChar = dcb.XoffChar;
    }
    settings.Dtr = (dcb.Flags & fDtrControl) != fDtrControlDisable;
    settings.Rts = rtsControl == fRtsControlEnable;
    return settings;
}

DCB DCBFromSerialSettings(const TSerialSettings& settings)
{
    DCB dcb;
    dcb.BaudRate = settings.BaudRate;
    dcb.ByteSize = static_cast<std::uint8_t>(settings.DataBits);
    dcb.Parity = ByteOfParity(settings.Parity);
    dcb.StopBits = ByteOfStopBits(settings.StopBits);
    dcb.Flags = fBinary;
    if (settings.CheckParity)
        dcb.Flags |= fParity;
    if (settings.RtsCtsFlowControl)
        dcb.Flags |= fOutxCtsFlow | fRtsControlHandshake;
    else if (settings.Rts)
        dcb.Flags |= fRtsControlEnable;
    if (settings.Dtr)
        dcb.Flags |= fDtrControlEnable;
    if (settings.XonXoffOutput)
        dcb.Flags |= fOutX;
    if (settings.XonXoffInput)
        dcb.Flags |= fInX;
    dcb.XonChar = settings.XonChar;
    dcb.XoffChar = settings.XoffChar;
    return dcb;
}

TSerialTimeouts ComLineTimeouts()
{
    TSerialTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 200;
    timeouts.ReadTotalTimeoutMultiplier = 15;
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 500;
    return timeouts;
}
