// The conversions every driver shares, with the values a text-only backend
// (PostgreSQL) gives: no server needed.
#include "Handles.h"
#include "Values.h"

#include <gtest/gtest.h>

using dmoci::Failure;
using dmoci::Value;

TEST(Values, BindsReadOutAsTheyWereBound)
{
    OCIBind b;
    Value v;
    Failure f;
    char chars[8] = "abc";
    ub2 length = 0;
    b.value = chars, b.size = 8, b.dty = SQLT_STR;
    ASSERT_TRUE(dmoci::valueOfBind(b, v, f));
    EXPECT_EQ(v.kind, Value::Text);
    EXPECT_EQ(v.text, "abc");  // up to the terminator
    b.dty = SQLT_CHR, b.actualLength = &length;
    ASSERT_TRUE(dmoci::valueOfBind(b, v, f));
    EXPECT_EQ(v.kind, Value::Null) << "a zero-length character value is NULL";

    float x = 0.5f;
    b.value = &x, b.size = 4, b.dty = SQLT_FLT, b.actualLength = nullptr;
    ASSERT_TRUE(dmoci::valueOfBind(b, v, f));
    EXPECT_EQ(v.kind, Value::Real);
    EXPECT_EQ(v.d, 0.5);
    sb2 null = -1;
    b.indicator = &null;
    ASSERT_TRUE(dmoci::valueOfBind(b, v, f));
    EXPECT_EQ(v.kind, Value::Null);

    b.indicator = nullptr, b.dty = SQLT_INT, b.size = 3;
    EXPECT_FALSE(dmoci::valueOfBind(b, v, f));
    EXPECT_EQ(f.code, 3115);
    b.dty = 9999, b.size = 4;
    EXPECT_FALSE(dmoci::valueOfBind(b, v, f));
    EXPECT_EQ(f.code, 3115);
}

TEST(Values, TextColumnsIntoEachDefine)
{
    OCIDefine d;
    sb2 indicator = 0;
    ub2 length = 0, code = 0;
    d.indicator = &indicator, d.returnedLength = &length, d.returnCode = &code;
    Value asText;
    asText.kind = Value::Text;

    long long n = 0;
    d.value = &n, d.size = 8, d.dty = SQLT_INT;
    asText.text = "-42";
    EXPECT_TRUE(dmoci::storeInDefine(d, asText));
    EXPECT_EQ(n, -42);
    double x = 0;
    d.value = &x, d.dty = SQLT_FLT;
    asText.text = "1.25";
    EXPECT_TRUE(dmoci::storeInDefine(d, asText));
    EXPECT_EQ(x, 1.25);

    char buf[4];
    d.value = buf, d.size = 4, d.dty = SQLT_STR;
    asText.text = "abcdef";
    EXPECT_FALSE(dmoci::storeInDefine(d, asText)) << "cut to fit";
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(length, 3);
    EXPECT_EQ(indicator, 6);
    EXPECT_EQ(code, 1406);

    d.value = &n, d.size = 8, d.dty = SQLT_INT;
    n = 7;
    EXPECT_TRUE(dmoci::storeInDefine(d, Value()));
    EXPECT_EQ(indicator, -1);
    EXPECT_EQ(code, 1405);
    EXPECT_EQ(n, 0);
}
