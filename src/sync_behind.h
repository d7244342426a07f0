// sync_behind.h - making a file's data durable while the run goes on
// (POSIX platform layer only).
//
// fsync is the only call that promises data is on the disk, and it waits
// for all of it. On a virtual machine the disk's own cache is the host's,
// and its flush takes as long as the data written since the last one,
// however early the writing started: a single fsync at the end of a large
// file then costs as much as the rest of the run. So once a file passes a
// few megabytes, a helper thread syncs what has been written so far while
// the copy goes on, and the final fsync has only the last stretch left.
//
// One file at a time. Nothing here changes what success means: the commit
// still ends with its own fsync, and any sync the helper saw fail makes the
// commit fail, since Linux reports a lost write to each open file only once.
#ifndef MORVET_SYNC_BEHIND_H
#define MORVET_SYNC_BEHIND_H

// Asks for the data written to fd so far to be synced in the background,
// starting the helper for fd on the first call, and returns at once. A
// system that cannot start a thread gets no helper: the final sync then
// does all the work, as it would anyway.
void sync_behind_request(int fd);

// Waits until the helper, if there is one, has finished its current sync
// and ended; it starts none of those asked for but not yet begun. Returns
// 0, or the errno of the first sync that failed. Safe to call when no
// helper runs.
int sync_behind_stop();

#endif
