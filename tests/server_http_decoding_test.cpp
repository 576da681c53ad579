// Unit tests of the HTTP front end's parameter and JSON field decoders.
#include <gtest/gtest.h>

#include <string>

#include "server/http.h"

TEST(HttpDecoding, QueryAndJsonFields) {
    std::string out;
    EXPECT_TRUE(http_query_param("a=1&key=x%41y&key=second", "key", &out));
    EXPECT_EQ(out, "xAy");
    EXPECT_TRUE(http_query_param("key=&x=1", "key", &out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(http_query_param("keyx=1&akey=2", "key", &out));
    EXPECT_TRUE(http_query_param("key=a b", "key", &out));
    EXPECT_EQ(out, "a");
    EXPECT_TRUE(http_json_field("{\"value\" :\n \"x\\u00e9\\q\"}", "value", &out));
    EXPECT_EQ(out, "x\xe9q");
    EXPECT_FALSE(http_json_field("{\"value\": 5}", "value", &out));
    EXPECT_TRUE(http_json_field("{\"value\": \"tail\\", "value", &out));
    EXPECT_EQ(out, "tail\\");
    EXPECT_TRUE(http_json_field("{\"value\": \"\\uZZ41\"}", "value", &out));
    EXPECT_EQ(out, "A");
}
