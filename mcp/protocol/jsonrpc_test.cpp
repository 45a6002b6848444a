#include "mcp/protocol/jsonrpc.h"

#include <gtest/gtest.h>

#include "mcp/protocol/negotiation.h"

namespace larkspire::mcp {
namespace {

TEST(McpMessages, RequestsNotificationsAndResponsesAreTold) {
  auto request = readMessage(R"({"jsonrpc":"2.0","id":7,"method":"tools/list","params":{"cursor":"x"}})");
  EXPECT_EQ(request.kind, Incoming::Kind::request);
  EXPECT_EQ(request.id, 7);
  EXPECT_EQ(request.method, "tools/list");
  EXPECT_EQ(request.params["cursor"], "x");

  auto stringId = readMessage(R"({"jsonrpc":"2.0","id":"a","method":"ping"})");
  EXPECT_EQ(stringId.kind, Incoming::Kind::request);
  EXPECT_TRUE(stringId.params.is_null());

  EXPECT_EQ(readMessage(R"({"jsonrpc":"2.0","method":"notifications/initialized"})").kind,
            Incoming::Kind::notification);
  EXPECT_EQ(readMessage(R"({"jsonrpc":"2.0","id":1,"result":{}})").kind, Incoming::Kind::response);
}

TEST(McpMessages, BrokenMessagesGetTheRightErrorAndKeepTheirIdWhenUsable) {
  auto garbage = readMessage("{\"jsonrpc\":");
  EXPECT_EQ(garbage.kind, Incoming::Kind::invalid);
  EXPECT_EQ(garbage.errorCode, rpc::kParseError);
  EXPECT_TRUE(garbage.id.is_null());

  auto batch = readMessage(R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])");
  EXPECT_EQ(batch.errorCode, rpc::kInvalidRequest);

  auto noVersion = readMessage(R"({"id":3,"method":"ping"})");
  EXPECT_EQ(noVersion.errorCode, rpc::kInvalidRequest);
  EXPECT_EQ(noVersion.id, 3);

  auto badParams = readMessage(R"({"jsonrpc":"2.0","id":"p","method":"ping","params":[1]})");
  EXPECT_EQ(badParams.errorCode, rpc::kInvalidRequest);
  EXPECT_EQ(badParams.id, "p");

  auto badId = readMessage(R"({"jsonrpc":"2.0","id":{"x":1},"method":"ping"})");
  EXPECT_EQ(badId.errorCode, rpc::kInvalidRequest);
  EXPECT_TRUE(badId.id.is_null());

  // Invalid UTF-8 and absurd nesting are refused, not crashed on.
  EXPECT_EQ(readMessage("{\"jsonrpc\":\"2.0\",\"method\":\"\xff\"}").errorCode, rpc::kParseError);
  EXPECT_EQ(readMessage(std::string(100000, '[')).errorCode, rpc::kParseError);
}

TEST(McpNegotiation, AnsweredWithTheClientsRevisionWhenSpokenElseTheNewest) {
  EXPECT_EQ(negotiateVersion("2025-06-18"), "2025-06-18");
  EXPECT_EQ(negotiateVersion("2025-11-25"), "2025-11-25");
  EXPECT_EQ(negotiateVersion("2024-11-05"), "2025-11-25");
  EXPECT_EQ(negotiateVersion("2099-01-01"), "2025-11-25");
  EXPECT_EQ(negotiateVersion(nullptr), "2025-11-25");
  EXPECT_EQ(negotiateVersion(20250618), "2025-11-25");
}

}  // namespace
}  // namespace larkspire::mcp
