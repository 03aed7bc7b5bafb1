// The receiver's studio model: what the live page and /state.json show, fed transaction by
// transaction as the TLS side would.
#include <gtest/gtest.h>

#include <string>

#include "Tools/AggrReceiver/ReceiverOptions.h"
#include "Tools/AggrReceiver/StudioModel.h"

using aggrreceiver::StudioModel;
using aggrreceiver::TransactionInfo;
using nlohmann::json;

namespace {

std::string entryXml(const std::string& id, const std::string& status, int hour, int minute,
                     int segment = 0) {
    return "<Entry id=\"" + id + "\" name=\"Name " + id + "\" status=\"" + status +
           "\"><Segment id=\"" + std::to_string(segment) +
           "\"><OnAir><Date year=\"2024\" month=\"3\" day=\"9\"/><Time hh=\"" +
           std::to_string(hour) + "\" mm=\"" + std::to_string(minute) +
           "\" ss=\"0\" ff=\"0\"/><Duration hh=\"0\" mm=\"5\" ss=\"0\" ff=\"12\"/></OnAir>"
           "</Segment><YuTrigger active=\"true\" sent=\"false\"/></Entry>";
}

const std::string kHouseTime =
    "<HouseTime><Date year=\"2024\" month=\"3\" day=\"9\"/>"
    "<Time hh=\"18\" mm=\"5\" ss=\"0\" ff=\"3\"/></HouseTime>";

class StudioModelTest : public ::testing::Test {
protected:
    void send(std::uint64_t connection, const std::string& session, const std::string& action,
              const std::string& id, const std::string& name, const std::string& payload = "",
              bool duplicate = false) {
        model.transaction(connection, TransactionInfo{session, action, id, name, payload},
                          duplicate, now);
    }
    void openStudio(std::uint64_t connection) {
        model.connectionAccepted(connection, "127.0.0.1:" + std::to_string(40000 + connection),
                                 "CN=studio", now);
        send(connection, "0", "AddStudio", "7", "Studio A");
    }
    json studio(std::size_t index = 0) { return model.toJson(now)["studios"].at(index); }

    StudioModel model;
    std::int64_t now = 1'700'000'000'000;
};

TEST_F(StudioModelTest, FollowsSessionsEntriesSegmentsAndTheHouseTime) {
    openStudio(1);
    send(1, "1", "AddSession", "0", "Main",
         "<Playlist id=\"1\" name=\"Main\">" + kHouseTime + "</Playlist>");
    send(1, "1", "AddEntry", "LATE", "Entry", entryXml("LATE", "Pending", 18, 30));
    send(1, "1", "AddEntry", "EARLY", "Entry", entryXml("EARLY", "Standby", 18, 0));
    send(1, "1", "UpdateEntry", "EARLY", "Entry", entryXml("EARLY", "Running", 18, 0));
    send(1, "1", "ChangeSegment", "4", "", entryXml("EARLY", "Running", 18, 0, 3));
    send(1, "1", "UpdateTime", "", "", kHouseTime);

    json s = studio();
    EXPECT_EQ(s["name"], "Studio A");
    EXPECT_EQ(s["houseTime"], "2024-03-09 18:05:00:03");
    json entries = s["sessions"].at(0)["entries"];
    ASSERT_EQ(entries.size(), 2u);
    // By on-air time, whatever the order of arrival.
    EXPECT_EQ(entries[0]["id"], "EARLY");
    EXPECT_EQ(entries[0]["status"], "Running");
    EXPECT_TRUE(entries[0]["onAir"]);
    EXPECT_EQ(entries[0]["segment"], "4");
    EXPECT_EQ(entries[0]["time"], "18:00:00:00");
    EXPECT_EQ(entries[0]["duration"], "00:05:00:12");
    EXPECT_EQ(entries[1]["id"], "LATE");
    EXPECT_FALSE(entries[1]["onAir"]);
    EXPECT_EQ(s["sessions"].at(0)["name"], "Main");
    EXPECT_TRUE(s["sessions"].at(0)["openedHere"]);
}

TEST_F(StudioModelTest, ShowsRemovedItemsGreyedForAWhileThenDropsThem) {
    openStudio(1);
    send(1, "1", "AddSession", "0", "Main");
    send(1, "2", "AddSession", "0", "Promos");
    send(1, "1", "AddEntry", "A", "Entry", entryXml("A", "Pending", 18, 0));
    send(1, "2", "AddEntry", "P", "Entry", entryXml("P", "Standby", 0, 0));
    send(1, "1", "RemoveEntry", "A", "Entry", entryXml("A", "Pending", 18, 0));
    send(1, "2", "RemoveSession", "0", "Promos");

    json s = studio();
    ASSERT_EQ(s["sessions"].size(), 2u);
    EXPECT_TRUE(s["sessions"][0]["entries"][0]["removedAt"].is_string());
    EXPECT_TRUE(s["sessions"][1]["removedAt"].is_string());
    EXPECT_TRUE(s["sessions"][1]["entries"][0]["removedAt"].is_null());

    now += StudioModel::kRemovedShownMs;
    s = studio();
    ASSERT_EQ(s["sessions"].size(), 1u);
    EXPECT_TRUE(s["sessions"][0]["entries"].empty());
    // A session id that comes back after its removal starts afresh.
    send(1, "2", "AddSession", "0", "Late news");
    EXPECT_EQ(studio()["sessions"][1]["name"], "Late news");
    EXPECT_TRUE(studio()["sessions"][1]["entries"].empty());
}

TEST_F(StudioModelTest, CountsAndListsDuplicatesAndMalformedFramesAndKeepsTheLastFifty) {
    openStudio(1);
    send(1, "1", "AddSession", "0", "Main");
    for (int i = 0; i < 60; ++i) {
        send(1, "1", "UpdateTime", "", "", kHouseTime, i % 20 == 0);
    }
    model.malformed(1, "not well-formed XML", 12, now);
    json s = studio();
    EXPECT_EQ(s["transactionCount"], 62);
    EXPECT_EQ(s["transactions"].size(), StudioModel::kRecentKept);
    EXPECT_EQ(s["transactions"].back()["action"], "UpdateTime");
    EXPECT_EQ(s["transactions"].back()["at"], "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(s["duplicates"]["count"], 3);
    EXPECT_EQ(s["duplicates"]["recent"].size(), 3u);
    EXPECT_TRUE(s["duplicates"]["recent"][0]["duplicate"]);
    EXPECT_EQ(s["malformed"]["count"], 1);
    EXPECT_EQ(s["malformed"]["recent"][0]["error"], "not well-formed XML");
    EXPECT_EQ(s["malformed"]["recent"][0]["bytes"], 12);
}

TEST_F(StudioModelTest, KeepsTheStudioAcrossReconnectionsAndNamesWhatItCannotPlace) {
    openStudio(1);
    send(1, "1", "AddSession", "0", "Main");
    model.connectionClosed(1, now);
    EXPECT_FALSE(studio()["link"]["connected"]);
    EXPECT_TRUE(studio()["link"]["closedAt"].is_string());

    openStudio(2);
    // The service does not open its sessions again after a reconnection.
    send(2, "1", "AddEntry", "A", "Entry", entryXml("A", "Pending", 18, 0));
    json s = studio();
    EXPECT_TRUE(s["link"]["connected"]);
    EXPECT_EQ(s["link"]["reconnections"], 1);
    EXPECT_EQ(s["link"]["address"], "127.0.0.1:40002");
    EXPECT_EQ(s["link"]["subject"], "CN=studio");
    EXPECT_EQ(s["sessions"][0]["name"], "Main");
    EXPECT_EQ(s["sessions"][0]["entries"].size(), 1u);

    // A session this receiver never saw opened, on a connection without AddStudio, with an
    // entry whose payload is not an entry.
    model.connectionAccepted(3, "127.0.0.1:40003", "CN=other", now);
    send(3, "9", "UpdateEntry", "X", "Entry", "<not-an-entry/>");
    json unplaced = model.toJson(now)["studios"][0];
    EXPECT_EQ(unplaced["id"], "");
    EXPECT_FALSE(unplaced["sessions"][0]["openedHere"]);
    EXPECT_EQ(unplaced["transactions"][0]["detail"], "payload is not an entry");
}

TEST(LivePageOptionsTest, ServesOnLoopbackUnlessTheNetworkIsAskedForExplicitly) {
    using aggrreceiver::parseReceiverOptions;
    const std::vector<std::string> files = {"--cert", "c", "--key", "k", "--ca", "a"};
    auto with = [&files](std::vector<std::string> more) {
        more.insert(more.begin(), files.begin(), files.end());
        return parseReceiverOptions(more);
    };
    auto parsed = with({"--http", "127.0.0.2:8080"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.httpAddress, "127.0.0.2");
    EXPECT_EQ(parsed.options.httpPort, 8080);
    EXPECT_EQ(with({"--http", "localhost:0"}).error, "");
    EXPECT_NE(with({"--http", "0.0.0.0:8080"}).error.find("--http-from-network"),
              std::string::npos);
    EXPECT_NE(with({"--http", "127.0.0.1.5:80"}).error, "");
    EXPECT_EQ(with({"--http", "0.0.0.0:8080", "--http-from-network"}).error, "");
    parsed = with({"--http", "8080"});
    EXPECT_EQ(parsed.options.httpAddress, "127.0.0.1");
    EXPECT_EQ(parsed.options.httpPort, 8080);
    EXPECT_NE(with({"--http", ":8080"}).error, "");
    EXPECT_NE(with({"--http", "127.0.0.1:70000"}).error, "");
}

}  // namespace
