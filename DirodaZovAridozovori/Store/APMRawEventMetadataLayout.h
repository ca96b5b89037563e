#pragma once
// How "raw_events_metadata" lays its rows out on disk, and the move of a file made by an earlier
// build to the layout the schema creates today.
//
// Earlier builds made the fingerprint the table's key (each row's row ID), so every new metadata row
// (a purchase stores one with every event) went to a random leaf page of a table that soon outgrows
// SQLite's page cache. Today's rows have ordinary row IDs, appended in insertion order, and the
// fingerprint is a UNIQUE column: only a small index entry goes to a random place. Every statement
// the database runs on the table means the same on both layouts (nothing reads its row IDs but the
// undoing of a row just inserted, by the row ID SQLite reported), so an old file works as it is, and
// an older build opening a moved file finds the two columns its schema check looks for (names, not
// declarations) and runs its same statements on them.

#include <cstdint>
#include <optional>

#include "APMSqliteStore.h"
#include "platform/Error.h"

enum class APMRawEventMetadataLayout {
  kRowIDs,          // ordinary row IDs, the fingerprint UNIQUE: what the schema creates
  kFingerprintKey,  // the fingerprint is the row ID: files of earlier builds
};

namespace apm_metadata_layout {

// A move copies every row inside the transaction that opens the database, on the worker queue,
// before the first event is stored. Most files hold a handful of rows (events share their metadata
// until a user property changes); 4,000 purchase-sized rows (about 430 bytes each) are some 1.7 MB,
// within SQLite's default page cache of 2,000 KiB, so the copy stays a few tens of milliseconds and
// its WAL small. A larger table is a burst not yet uploaded: the uploads empty it, and a later
// start moves what is left.
inline constexpr int64_t kMostRowsMoved = 4000;

// The table's layout; none when it cannot be read (or the table is missing).
std::optional<APMRawEventMetadataLayout> layoutOf(APMSqliteStore& store, platform::Error* error);

enum class MoveOutcome {
  kNothingToMove,  // already on row IDs
  kMoved,
  kLeftInPlace,  // more than mostRows rows: left for a later start
  kFailed,       // rolled back, the table as it was; error says why
};
// Moves a fingerprint-keyed table of at most mostRows rows to row IDs, in one transaction: its rows
// are copied, byte for byte, into a table declared as the schema declares it, the old table is
// dropped and the new one takes its name. A failure rolls all of it back.
MoveOutcome moveToRowIDs(APMSqliteStore& store, int64_t mostRows, platform::Error* error);

}  // namespace apm_metadata_layout
