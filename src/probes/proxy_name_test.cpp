#include "probes/proxy_name.h"

#include <gtest/gtest.h>

#include <string>

TEST(ProxyName, ProbeNameHasTheSchemeAndQueryNameHasNone) {
  wchar_t name[kProxyNameCapacity];
  proxy_name_format(name, 1, 18118);
  EXPECT_EQ(std::wstring(name), L"http://127.0.0.1:18118");
  proxy_name_format(name, 0, 65535);
  EXPECT_EQ(std::wstring(name), L"127.0.0.1:65535");
  proxy_name_format(name, 1, 0);
  EXPECT_EQ(std::wstring(name), L"http://127.0.0.1:0");
}

TEST(ProxyName, SkipsOnlyALeadingHttpScheme) {
  EXPECT_EQ(std::wstring(proxy_name_skip_scheme(L"http://127.0.0.1:18118")), L"127.0.0.1:18118");
  EXPECT_EQ(std::wstring(proxy_name_skip_scheme(L"127.0.0.1:18118")), L"127.0.0.1:18118");
  EXPECT_EQ(std::wstring(proxy_name_skip_scheme(L"http:/x")), L"http:/x");
  EXPECT_EQ(std::wstring(proxy_name_skip_scheme(L"")), L"");
}
