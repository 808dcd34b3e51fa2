#include "run/rclone.h"

#include <gtest/gtest.h>

#include "archive/completeness_mark.h"
#include "run/offsite.h"

namespace vaultrun {
namespace {

TEST(Rclone, ConnectionStringParametersNeverShow) {
  struct Row {
    const char* remote;
    const char* shown;
  };
  const Row rows[] = {
      {"nas:backup/kelvane", "nas:backup/kelvane"},
      {"b2:", "b2:"},
      {":s3,provider=Other,secret_access_key=S3CR3Tk3y:bucket/x", ":s3:bucket/x"},
      {"nas,pass='it''s, a:secret':db", "nas:db"},
      {":sftp,pass=\"unterminated:db", ":sftp,..."},
      {"/srv/local/folder", "/srv/local/folder"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.shown, RemoteForDisplay(row.remote)) << row.remote;

  const std::string remote = ":s3,env_auth=false,secret_access_key=S3CR3Tk3y:bucket";
  EXPECT_EQ(
      "Failed to create file system for \":s3:bucket/db\": key *** refused",
      ScrubRemote("Failed to create file system for \"" + remote + "/db\": key S3CR3Tk3y refused",
                  remote));
  EXPECT_EQ("x ,... y", ScrubRemote("x ,pass=\"open:db y", ":sftp,pass=\"open:db"));
}

TEST(Rclone, RemotePathsAndWhatLooksLikeOne) {
  EXPECT_EQ("nas:backup/db", RemoteJoin("nas:backup", "db"));
  EXPECT_EQ("nas:backup/db", RemoteJoin("nas:backup/", "db"));
  EXPECT_EQ("nas:db", RemoteJoin("nas:", "db"));
  EXPECT_EQ("nas:/db", RemoteJoin("nas:/", "db"));
  EXPECT_TRUE(LooksLikeRemote("b2:kelvane-backups/db/20261207043000.zip", false));
  EXPECT_TRUE(LooksLikeRemote(":s3,provider=Minio:bucket/x.zip", true));
  EXPECT_TRUE(LooksLikeRemote("c:x.zip", false));
  EXPECT_FALSE(LooksLikeRemote("C:\\backup\\x.zip", true));
  EXPECT_FALSE(LooksLikeRemote("backup/db/x:y.zip", false));
  EXPECT_FALSE(LooksLikeRemote("20261207043000.zip", false));
}

TEST(Rclone, ListingsAsLsjsonWritesThem) {
  std::string error;
  auto files = ParseRemoteListing(
      "[\n{\"Path\":\"a.zip\",\"Name\":\"a.zip\",\"Size\":3000000,\"ModTime\":\"\","
      "\"IsDir\":false,\"Tier\":null,\"Metadata\":{\"x\":[1,2.5e3,true]}},\n"
      "{\"Name\":\"sub \\\"q\\\"\\u0041\",\"Size\":-1,\"IsDir\":true}\n]\n",
      &error);
  ASSERT_TRUE(files) << error;
  ASSERT_EQ(2u, files->size());
  EXPECT_EQ("a.zip", (*files)[0].name);
  EXPECT_EQ(3000000, (*files)[0].size);
  EXPECT_FALSE((*files)[0].is_dir);
  EXPECT_EQ("sub \"q\"A", (*files)[1].name);
  EXPECT_TRUE((*files)[1].is_dir);

  files = ParseRemoteListing(
      "{\"Name\":\"x\",\"Size\":5,\"Hashes\":{\"sha1\":\"AbC\",\"md5\":\"\"}}", &error);
  ASSERT_TRUE(files) << error;
  EXPECT_EQ("AbC", (*files)[0].hashes["sha1"]);
  EXPECT_TRUE(ParseRemoteListing("[]", &error));
  for (const char* bad : {"", "[", "[{\"Name\":}]", "[{}] x", "{\"Size\":\"5\"}"}) {
    EXPECT_FALSE(ParseRemoteListing(bad, &error)) << bad;
  }
}

TEST(Rclone, MarkFoundInAnArchivesLastBytes) {
  const std::string mark = BuildCompletenessMark({"1", "20261207043000", "db", {{"t", 1}}, 0, ""});
  auto end_record = [](const std::string& comment) {
    std::string record("PK\x05\x06", 4);
    record += std::string(16, '\0');
    record += static_cast<char>(comment.size() & 0xff);
    record += static_cast<char>(comment.size() >> 8);
    return record + comment;
  };
  EXPECT_TRUE(TailCarriesMark("entries..." + end_record(mark)));
  EXPECT_FALSE(TailCarriesMark("entries..." + end_record("another program's comment")));
  EXPECT_FALSE(TailCarriesMark("entries..." + end_record(mark).substr(0, 40)));
  EXPECT_FALSE(TailCarriesMark(""));
}

}  // namespace
}  // namespace vaultrun
