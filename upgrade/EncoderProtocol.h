#pragma once

#include <chrono>
#include <cstdint>

// What the encoder and this program agree on, in one place for the window and fwupgrade-cli.
// encoder-sim keeps copies of its own on purpose, so that it checks this side independently.

// Where the encoder listens unless the operator says otherwise.
inline constexpr char DefaultEncoderHost[] = "192.168.1.100";
inline constexpr std::uint16_t DefaultEncoderPort = 999;
inline constexpr char DefaultEncoderPortText[] = "999";

// The header ahead of the image: reserved (0), image length, image checksum, each a 32-bit
// little-endian word.
inline constexpr int UpgradeHeaderSize = 12;
// The encoder needs this long after the header before the image may follow.
inline constexpr std::chrono::milliseconds HeaderToImagePause{1000};

// Flash addresses the encoder sends while erasing: the range of the erasing bar.
inline constexpr std::int32_t FlashFirst = 0x30000000;
inline constexpr std::int32_t FlashEnd = 0x303D0000;

// The largest image the encoder takes is MaxImageSize, defined with the image buffer
// (FirmwareImage.h).

// The encoder's vocabulary: its replies are matched whole, byte for byte, case-sensitive.
namespace EncoderReply {
inline constexpr char StartReceiving[] = "start receiving image file";
inline constexpr char EraseFlash[] = "erase flash program...";
inline constexpr char ProgramFlash[] = "flash program...";
inline constexpr char VerifyDone[] = "verify flash program...done";
inline constexpr char ProgramFail[] = "flash program fail";
inline constexpr char Error[] = "*** ERROR ***"; // the next reply is the error text
} // namespace EncoderReply

// Lines of the upgrade log.
namespace UpgradeLog {
inline constexpr char SendHeader[] = "send data header";
inline constexpr char SendProgram[] = "send program";
inline constexpr char SendFailed[] = "!!! SEND TO ENCODER FAILED !!!";
inline constexpr char PowerWarning[] = "!!! DO NOT SWITCH POWER OFF !!!";
inline constexpr char ConnectionLost[] = "!!! CONNECTION TO ENCODER LOST !!!";
inline constexpr char Abort[] = "!!! UPGRADE FLASH ABORT !!!";
// When a front end bounds the encoder's silence or the whole upgrade; %1 is in seconds.
inline constexpr char NoReplyFor[] = "!!! NO REPLY FROM ENCODER FOR %1 S !!!";
inline constexpr char TookTooLong[] = "!!! UPGRADE NOT DONE WITHIN %1 S !!!";
} // namespace UpgradeLog

// Stage labels of the three progress rows, and the notice texts of the upgrade.
namespace UpgradeText {
inline constexpr char SendingInProgress[] = "Sending image file ... in progress";
inline constexpr char SendingDone[] = "Sending image file ... done";
inline constexpr char ErasingInProgress[] = "Erasing flash ... in progress";
inline constexpr char ErasingDone[] = "Erasing flash ... done";
inline constexpr char ProgrammingInProgress[] = "Programming flash ... in progress";
inline constexpr char ProgrammingDone[] = "Programming flash ... done";
inline constexpr char Success[] = "FLASH PROGRAMMED SUCCESSFULLY...NOW REBOOT THE ENCODER";
inline constexpr char ServerNotReady[] = "SERVER NOT READY...PRESS OK";
} // namespace UpgradeText
