#pragma once
// One change to the files of a table family, written so that a crash at any moment leaves the
// family as it was before the change or as the change leaves it, and so that two writers never
// mix their changes.
//
//   FamilyChange change(tablePath);           // takes the write lock (waits for another writer);
//                                             // undoes a change a crashed writer left unfinished
//   change.preserve(path, offset, length);    // every existing range the change will overwrite
//   change.write(path, offset, bytes, n);     // the first write puts the journal in place first
//   change.commit();                          // flushes the files, removes the journal
//
// Bytes past a file's old end need no journal entry: rolling back cuts the file to its old size.
// A change that is destroyed without commit() (an error on the way) is rolled back at once, so a
// refused or failed change leaves every file byte-identical.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "journal.h"

namespace tavrinth {

class SpoolFile;

class FamilyChange {
public:
    // Opens the table file for writing and takes its write lock, waiting up to `lockWaitMs` for
    // another writer to finish. Throws EDBEngineError (Locked) when the lock stays taken, and
    // when a journal left by an unfinished change is damaged or belongs to another table.
    explicit FamilyChange(const std::string& tablePath, int lockWaitMs = 10000);
    ~FamilyChange();
    FamilyChange(const FamilyChange&) = delete;
    FamilyChange& operator=(const FamilyChange&) = delete;

    const std::string& tablePath() const { return tablePath_; }
    // Whether the lock was taken after undoing a crashed writer's change.
    bool rolledBack() const { return rolledBack_; }

    // The size a file of the family has now (0 for one that does not exist).
    std::uint64_t sizeOf(const std::string& path);
    // Reads n bytes at offset of a file of the family as it is now (zeros past its end).
    void read(const std::string& path, std::uint64_t offset, void* buf, std::size_t n);

    // Saves the present bytes of a range the change will overwrite (clipped to the file's size).
    // Must come before the first write.
    void preserve(const std::string& path, std::uint64_t offset, std::uint64_t length);
    // The same for a whole file.
    void preserveWhole(const std::string& path);
    // Records that the change creates this file (rolling back removes it). Before the first write.
    void willCreate(const std::string& path);

    // Writes bytes into a file of the family. Every byte below the file's old size must lie in a
    // preserved range (a change that forgets one is refused here, with nothing written).
    void write(const std::string& path, std::uint64_t offset, const void* data, std::size_t n);
    // Writes the whole of `from` into a file of the family at `offset`, a megabyte at a time.
    void copyIn(const std::string& path, std::uint64_t offset, const ByteSource& from);
    // Cuts or extends a file to `size` (a cut below the old size needs the range preserved).
    void resize(const std::string& path, std::uint64_t size);

    // Flushes every written file, removes the journal and flushes the folder: the change is made.
    void commit();

private:
    struct File;
    File& file(const std::string& path);
    void putJournalInPlace();
    void undo() noexcept;

    std::string tablePath_;
    std::string journalPath_;
    int lockFd_ = -1;
    bool rolledBack_ = false;
    bool journalWritten_ = false;
    bool committed_ = false;
    Journal journal_;
    std::shared_ptr<SpoolFile> spool_;  // old bytes beyond what is held in memory
    std::uint64_t heldBytes_ = 0;
    std::map<std::string, std::unique_ptr<File>> files_;
};

namespace testing {
// What the change's write hook asks for before a write of the journal or of a file.
enum class WriteAction { Go, KillBefore, TearAndKill };
// Called before every write a change makes (the journal counts as one write), numbered from 1 in
// each process; the tests use it to kill the process between any two writes, or in the middle of
// one (TearAndKill writes half of the bytes, then kills). Null (the default) does nothing.
void setWriteHook(WriteAction (*hook)(std::uint64_t writeNumber));
// The bytes appended records collect before they are written (1 MB); the tests make it small to
// get many writes, and so many points to kill at, from few records.
void setAppendFlushBytes(std::size_t bytes);
std::size_t appendFlushBytes();
// The old bytes a change holds in memory for its journal (4 MB); beyond that they go to a spool
// file. The tests make it small to journal big changes the same way. 0: the default.
void setHeldJournalBytes(std::uint64_t bytes);
std::uint64_t heldJournalBytes();
}  // namespace testing

}  // namespace tavrinth
