#pragma once

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
