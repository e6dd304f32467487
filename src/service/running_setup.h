// The running setup's own file. Started from the install directory (the
// command of the Apps & features entry, or a repair), it would keep that
// folder from being removed and be a file the install must replace. Moved
// into a new folder that only SYSTEM and Administrators can write, it is
// neither. It is recorded under HKLM\SOFTWARE\Vora while it is out, and
// scheduled to go at the next restart only once the run has succeeded.
#pragma once

namespace vora {

// Reads the identity of the file the process was started from, first thing
// in a run, before any other process can have changed what its path names.
void note_running_image();

// Moves the running VoraSetup.exe out of the install directory when the
// path it was started from lies there and still names the file noted at
// start (opened without following a link), and arranges for a fatal error
// to move it back first. A failure is a warning: the run goes on from where
// the file is.
void move_running_setup_out();

// The run succeeded: the moved setup and its folder go at the next restart.
void settle_running_setup();

// Puts a moved setup back under its earlier name when that name is free
// (after a failed run). True when it is back or was never moved.
bool return_running_setup();

}  // namespace vora
