// Reading never writes: tables and their companions keep their bytes and their times, and no file
// appears or disappears next to them, whatever reads them (the engine, the table object, the
// command-line program).

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "file_io.h"
#include "process.h"
#include "session.h"
#include "table.h"
#include "table_file.h"
#include "test_files.h"
#include "test_paths.h"

using namespace tavrinth;
using namespace tavrinth::test;

namespace {

struct FileTimes {
    struct timespec atime, mtime, ctime;
    off_t size;
    mode_t mode;
};

bool sameTime(const struct timespec& a, const struct timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::map<std::string, FileTimes> timesOf(const std::string& folder) {
    std::map<std::string, FileTimes> times;
    for (const std::string& name : listFolder(folder)) {
        const struct stat st = statOf(folder + "/" + name);
        times[name] = {st.st_atim, st.st_mtim, st.st_ctim, st.st_size, st.st_mode};
    }
    return times;
}

std::map<std::string, std::string> bytesOf(const std::string& folder) {
    std::map<std::string, std::string> bytes;
    for (const std::string& name : listFolder(folder)) bytes[name] = readFile(folder + "/" + name);
    return bytes;
}

class ReadingNeverWrites : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string db = paradoxCorpus("leonhad__paradoxdriver/src/test/resources/db/");
        const std::string enc = paradoxCorpus("leonhad__paradoxdriver/src/test/resources/encrypt/");
        const std::string fix = dbaseCorpus("infused__dbf/spec/fixtures/");
        const std::pair<std::string, std::string> files[] = {
            {db + "CUSTOMER.DB", "CUSTOMER.DB"},   {db + "CUSTOMER.MB", "Customer.mb"}, {db + "CUSTOMER.PX", "CUSTOMER.PX"},
            {db + "CUSTOMER.X06", "CUSTOMER.X06"}, {db + "CUSTOMER.Y06", "CUSTOMER.Y06"},
            {db + "AREACODE.DB", "AREACODE.DB"},   {db + "AREACODE.PX", "AREACODE.PX"}, {db + "AREACODE.VAL", "AREACODE.VAL"},
            {enc + "encryptedmemo.db", "encryptedmemo.db"}, {enc + "encryptedmemo.mb", "ENCRYPTEDMEMO.MB"},
            {enc + "encrypted35.db", "encrypted35.db"},
            {fix + "dbase_83.dbf", "dbase_83.dbf"}, {fix + "dbase_83.dbt", "DBASE_83.DBT"},
            {fix + "dbase_30.dbf", "dbase_30.dbf"}, {fix + "dbase_30.fpt", "dbase_30.fpt"},
            {dbaseCorpus("Aorid__Group-336.2/master.dbf"), "master.dbf"},
            {dbaseCorpus("Aorid__Group-336.2/master.mdx"), "master.mdx"},
            {dbaseCorpus("tmontaigu__dbase-rs/tests/data/stations_with_deleted.dbf"), "deleted.dbf"},
        };
        for (const auto& [from, to] : files) copyFile(from, dir_.file(to));
        bytes_ = bytesOf(dir_.path());
        ASSERT_EQ(bytes_.size(), std::size(files));
        // Old times, so that any write, and any read that sets the access time, shows.
        const struct timespec old[2] = {{946684800, 123456789}, {946684800, 123456789}};
        for (const auto& [name, b] : bytes_)
            ASSERT_EQ(::utimensat(AT_FDCWD, dir_.file(name).c_str(), old, 0), 0) << name;
        times_ = timesOf(dir_.path());
        folder_ = statOf(dir_.path());
        // Changes within the clock's resolution would not show in the change time.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    // The times first: reading the bytes for the comparison sets the access times.
    void expectUnchanged(const std::string& after) {
        SCOPED_TRACE("after " + after);
        const struct stat folder = statOf(dir_.path());
        EXPECT_TRUE(sameTime(folder.st_mtim, folder_.st_mtim)) << "a file was created or removed";
        EXPECT_TRUE(sameTime(folder.st_ctim, folder_.st_ctim)) << "a file was created or removed";
        const auto times = timesOf(dir_.path());
        ASSERT_EQ(times.size(), times_.size()) << "files appeared or disappeared";
        for (const auto& [name, b] : times_) {
            const auto it = times.find(name);
            ASSERT_NE(it, times.end()) << name << " is gone";
            const FileTimes& a = it->second;
            EXPECT_EQ(a.size, b.size) << name;
            EXPECT_EQ(a.mode, b.mode) << name;
            EXPECT_TRUE(sameTime(a.mtime, b.mtime)) << name << ": modification time changed";
            EXPECT_TRUE(sameTime(a.ctime, b.ctime)) << name << ": change time changed";
            EXPECT_TRUE(sameTime(a.atime, b.atime)) << name << ": access time changed";
        }
        const auto bytes = bytesOf(dir_.path());
        for (const auto& [name, b] : bytes_) EXPECT_TRUE(bytes.at(name) == b) << name << " changed";
    }

    std::vector<std::string> tables() const {
        std::vector<std::string> names;
        for (const auto& [name, bytes] : bytes_) {
            const std::string ext = toLowerAscii(extensionPart(name));
            if (ext == ".db" || ext == ".dbf") names.push_back(name);
        }
        return names;
    }

    TempDir dir_;
    std::map<std::string, std::string> bytes_;
    std::map<std::string, FileTimes> times_;
    struct stat folder_ {};
};

TEST_F(ReadingNeverWrites, TheEngine) {
    OpenOptions options;
    options.knownPasswords = {"123"};
    for (const std::string& name : tables()) {
        auto t = openTableFile(dir_.file(name), options);
        EXPECT_GT(dumpToString(*t).size(), 0u) << name;
    }
    expectUnchanged("openTableFile and writeDump");
}

TEST_F(ReadingNeverWrites, TheTableObjectAndTheSession) {
    TSession session;
    session.AddPassword("123");
    std::vector<std::string> names;
    session.GetTableNames(dir_.path(), "*.*", false, false, names);
    EXPECT_EQ(names.size(), tables().size());
    for (const std::string& name : tables()) {
        TTable t(&session);
        t.SetDatabaseName(dir_.path());
        t.SetTableName(name);
        t.Open();
        for (t.First(); !t.Eof(); t.Next())
            for (int i = 0; i < t.FieldCount(); ++i) t.Fields(i).AsString();
        if (t.RecordCount() > 2) t.MoveToPosition(t.RecordCount() / 2);
        t.Close();
    }
    expectUnchanged("TTable");
}

TEST_F(ReadingNeverWrites, TheCommandLineProgram) {
    const std::map<std::string, std::optional<std::string>> env = {{"TAVRINTH_ALIASES", dir_.file("none.conf")}};
    for (const std::string& name : tables()) {
        ProcessResult r = runProcess({cliPath(), "dump", "--password", "123", dir_.file(name)}, env);
        EXPECT_EQ(r.exitStatus, 0) << name << ": " << r.err;
        r = runProcess({cliPath(), "fields", dir_.file(name)}, env);
        // `fields` takes no password: the encrypted tables fail, and must not write either.
        EXPECT_EQ(r.exitStatus, name.rfind("encrypted", 0) == 0 ? 1 : 0) << name << ": " << r.err;
    }
    const ProcessResult r = runProcess({cliPath(), "tables", dir_.path()}, env);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    expectUnchanged("tavrinth-cli dump, fields and tables");
}

}  // namespace

// Companions are looked up by name ignoring case through a listing of the folder that is reused
// while the folder stays unchanged: a file added, removed or renamed must be seen at once, even
// when the folder's modification time is set back.
TEST(FolderListing, SeesEveryChangeOfAFolderItHasListedBefore) {
    TempDir dir;
    writeFile(dir.file("ORDERS.DB"), "x");
    const struct timespec anHourAgo[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.path().c_str(), anHourAgo, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // a folder left alone
    EXPECT_EQ(findInFolder(dir.path(), "orders.px"), "");
    EXPECT_EQ(findInFolder(dir.path(), "orders.db"), "ORDERS.DB");

    writeFile(dir.file("ORDERS.PX"), "x");
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.path().c_str(), anHourAgo, 0), 0);
    EXPECT_EQ(findInFolder(dir.path(), "orders.px"), "ORDERS.PX");
    ASSERT_EQ(::rename(dir.file("ORDERS.PX").c_str(), dir.file("Orders.Px").c_str()), 0);
    EXPECT_EQ(findInFolder(dir.path(), "orders.px"), "Orders.Px");
    ASSERT_EQ(::unlink(dir.file("Orders.Px").c_str()), 0);
    EXPECT_EQ(findInFolder(dir.path(), "orders.px"), "");
    EXPECT_EQ(listFolder(dir.path()), std::vector<std::string>{"ORDERS.DB"});
}
