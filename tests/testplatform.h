#pragma once

#include <QList>
#include <QStringList>
#include <QString>

// The few things the tests ask of the operating system about processes and
// open files, one implementation per platform (testplatform_posix.cpp,
// testplatform_win.cpp).

// Whether a process with this id still exists (a reaped child does not).
bool processAlive(qint64 pid);

// Processes whose parent is this process (on Linux zombies included).
QList<int> childPids();

// Whether this process holds a board's log file (logs/*_log.txt) open.
bool logHeldOpen();

// File name of the flashing tool in a station folder: "uuu", or "uuu.exe".
QString toolFileName();

// Puts the simulator into a station folder as the flashing tool.
bool installSimulatorAs(const QString &simulator, const QString &toolPath);

// Takes the flashing tool out of a station folder, even while it runs.
void removeToolFile(const QString &toolPath);

// The process's open descriptors (handles on Windows), one text each, for
// leak checks that compare counts.
QStringList openDescriptors();

// Content of a tool file that cannot be run: a shell script without its
// execute permission here, a file that is no program image on Windows.
QByteArray notAProgram();

// This process was started by run-in-pidns.sh: a child of PID 1 in a PID
// namespace that holds nothing else. Never on Windows.
bool inOwnPidNamespace();

// The /sys/class/tty entry of a serial port whose uevent file takes writes,
// or "" when there is none or this process may not write it (root on Linux
// only).
QString writableUeventDevice();

// Makes the kernel announce the device again with this action ("add", ...).
bool raiseUevent(const QString &sysPath, const char *action);

// Station folders that are full or read-only. Mounts need a mount namespace
// of this process's own (root on Linux only), in which they are seen by
// nobody else and end with the process; elsewhere the functions below say
// why they cannot, for a QSKIP.

// Takes that namespace. Only while the process has one thread: first thing
// in main().
bool takePrivateMounts();

// Mounts a small empty tmpfs with these options (as mount(8) takes them) on
// path, made if missing. Returns why it could not, or "".
QString mountSmallFileSystem(const QString &path, const QByteArray &options);

// Why no folder can be made read-only here, or "" when one can.
QString readOnlyFolderUnavailable();

// Makes the folder read-only: its permissions, or for root, whom they do not
// stop, a read-only bind mount over it (a current folder under it moves into
// the mount). Returns why it could not, or "".
QString makeFolderReadOnly(const QString &path);

// Undoes the mounts and permissions above; a current folder in a mount that
// is taken away is then the same path below it.
void restoreTestFolders();

// Writes an executable shell script; false where a shell script is no
// program (Windows).
bool writeShellScript(const QString &path, const QByteArray &script);

// Whether the process has closed its standard output. True where no other
// process's descriptors can be seen (Windows), so that a wait for it passes.
bool standardOutputClosed(qint64 pid);
