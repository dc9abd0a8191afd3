// The package's custom action, by the install's phases: the immediate
// checks (check_values.cpp); the folders and the log made as SYSTEM
// (folders.cpp); the task's definition filled in memory
// (task_definition.cpp); its registration with Task Scheduler and what is
// remembered (register_task.cpp). What they share is here and in
// task_action.cpp.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstddef>

extern MSIHANDLE install;
extern const WCHAR task_name[];
extern const WCHAR server_rule[];
extern const WCHAR log_rule[];
// The log's own descriptor, before the task's right to append is added.
extern const WCHAR log_file_sddl[];

// One line in the MSI log; a failure also goes to the installer's error
// handling and ends the install (ERROR_INSTALL_FAILURE).
void log_line(const WCHAR *what, const WCHAR *detail);
UINT fail(const WCHAR *what, const WCHAR *detail);
UINT fail_with(const WCHAR *what, HRESULT result);
void warn(const WCHAR *what, const WCHAR *detail);

// The property, or false when it does not fit.
bool get(const WCHAR *name, WCHAR *value, DWORD size);
// As a run's command line takes them.
bool valid_server(const WCHAR *server);
bool valid_log(const WCHAR *log);
// Joins folder and name into to, when the whole fits.
bool join(WCHAR *to, size_t size, const WCHAR *folder, const WCHAR *name);
// A deferred action's CustomActionData, split at its first count - 1 '|'
// into fields; the last field keeps any further '|'. False when there are
// fewer.
bool action_data(WCHAR *fields[], int count);

// A folder (given with or without its final backslash) or file opened
// itself, a link not followed, with access; INVALID_HANDLE_VALUE when not
// there or not opened.
HANDLE open_unfollowed(const WCHAR *path, DWORD access);
// What a handle is, for the rules below.
bool is_folder(HANDLE object);
bool is_plain_file(HANDLE object);
// Its owner is SYSTEM, the administrators, TrustedInstaller, or the account
// this code runs as when that is an administrator (SYSTEM in the deferred
// phase; the one installing, under Wine, which keeps no owners of its own).
bool trusted_owner(HANDLE object);
// Sets owner and DACL from SDDL on an open handle.
bool set_security(HANDLE object, const WCHAR *sddl);
// Fails the install for a folder, named by its property, that is a link or
// has another owner.
UINT fail_folder(const WCHAR *property, const WCHAR *folder);
// Each folder above path (below its drive's root) that is there is a
// folder, no link, of a trusted owner; with sddl, those missing are made
// with it first. Else the install fails, naming the first that is not.
UINT check_parents(const WCHAR *property, const WCHAR *path, const WCHAR *sddl);

// The phases' entry points.
UINT check_values();
UINT make_folders(bool rollback);
UINT set_task();

// Task Scheduler: a GARVELUX task in the root folder is there (S_OK), is
// not (S_FALSE), or cannot be told (an error).
HRESULT task_there();

