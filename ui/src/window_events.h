// Which of the window's controls each event enables: the one table of the window's enabled
// states. An event sets some controls on, some off and leaves the others as they are; the
// state after a sequence of events is the table's rows applied in turn.
//
// A conversion, and a merge of the store (the list's merged cards, the review of held pairs), is
// not an event but a phase laid over the state: while it runs, Stop is on and the controls that
// would clear or refill the store it reads, or read the merge it makes, are shown off; when it
// ends they show the state again, including whatever events changed meanwhile.
#pragma once

#include <array>
#include <cstddef>

#include "ui/main_dialog.h"

namespace ui {

enum class WindowEvent
{
    Initialised,         // the window is built
    FileChosen,          // the file dialog gave a file (or a drop, Recent, the command line)
    FileDialogCancelled, // the file dialog was cancelled
    ScanPressed,         // a scan starts
    ScanEnded,           // the scan ended normally
    ScanStopped,         // Stop, answered Yes: the scan is ended for good
    NothingContinues,    // Stop, and neither a scan nor a conversion goes on
    ConversionStarted,   // a conversion starts (its phase holds the controls below)
    MergeStarted,        // a merge of the store starts (its phase holds the same controls)
};

// What an event does to one control.
enum class Turn : unsigned char
{
    same,
    on,
    off,
};

// The controls whose enabled state the table decides, in the order of its columns.
inline constexpr std::array<int, 11> kEnableControls = {kBrowseButton,   kScanButton,   kStopButton,  kConvertButton,
                                                        kMenuOpen,       kMenuScan,     kMenuConvert, kFolderTree,
                                                        kMenuDuplicates, kUploadButton, kMenuUpload};

using EnableTurns = std::array<Turn, kEnableControls.size()>; // in kEnableControls order

// The turns written as one character per control: '+' on, '-' off, '.' unchanged.
consteval EnableTurns turns(const char (&cells)[kEnableControls.size() + 1])
{
    EnableTurns out{};
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = cells[i] == '+' ? Turn::on : cells[i] == '-' ? Turn::off : Turn::same;
    return out;
}

struct EnableRow
{
    WindowEvent event;
    EnableTurns turns;
};

// Columns: Browse, Scan, Stop, Convert, File > Open, File > Scan, File > Convert, the folder tree,
// Edit > Possible duplicates, Upload and File > Upload. The start of a scan also grays File >
// Convert and Possible duplicates: neither may read a store the scan fills. Upload is there only
// while a finished scan's contacts are in the store.
inline constexpr std::array<EnableRow, 9> kEnableTable = {{
    {WindowEvent::Initialised, turns("+---+--.---")},
    {WindowEvent::FileChosen, turns(".+.-.+...--")},
    {WindowEvent::FileDialogCancelled, turns("+.-...+.+..")},
    {WindowEvent::ScanPressed, turns("--+.---.---")},
    {WindowEvent::ScanEnded, turns("+..+..+++++")},
    {WindowEvent::ScanStopped, turns("+.-.+....--")},
    {WindowEvent::NothingContinues, turns("+..........")},
    {WindowEvent::ConversionStarted, turns("..+........")},
    {WindowEvent::MergeStarted, turns("..+........")},
}};

// The controls a running conversion or merge shows off, whatever the state says: those that
// would clear or refill the store it reads, and those that would read the merge under way.
inline constexpr std::array<int, 9> kHeldWhileWorking = {kBrowseButton,   kScanButton,   kConvertButton,
                                                         kMenuOpen,       kMenuScan,     kMenuConvert,
                                                         kMenuDuplicates, kUploadButton, kMenuUpload};

} // namespace ui
