// Keys out of a keypath as the library hands them to data callbacks.
#include <arpa/inet.h>
#include <cstdlib>

#include <gtest/gtest.h>

#include "confd_hash.h"
#include "oconfd.h"
#include "test_support.h"

namespace {

constexpr uint32_t k_tlocs = mgmt_name_hash("tlocs");
constexpr uint32_t k_tloc = mgmt_name_hash("tloc");
constexpr uint32_t k_path = mgmt_name_hash("path");

// /tlocs/tloc{10.0.0.1 4 2}/path{9}, innermost first.
confd_hkeypath_t tloc_path_kp()
{
    confd_hkeypath_t kp{};
    kp.len = 5;
    CONFD_SET_UINT32(&kp.v[0][0], 9);
    CONFD_SET_NOEXISTS(&kp.v[0][1]);
    CONFD_SET_XMLTAG(&kp.v[1][0], k_path, 1);
    struct in_addr ip;
    inet_pton(AF_INET, "10.0.0.1", &ip);
    CONFD_SET_IPV4(&kp.v[2][0], ip);
    CONFD_SET_ENUM_VALUE(&kp.v[2][1], 4);
    CONFD_SET_ENUM_VALUE(&kp.v[2][2], 2);
    CONFD_SET_NOEXISTS(&kp.v[2][3]);
    CONFD_SET_XMLTAG(&kp.v[3][0], k_tloc, 1);
    CONFD_SET_XMLTAG(&kp.v[4][0], k_tlocs, 1);
    return kp;
}

}  // namespace

// The keys of the instance whose element is named, into the caller's array
// or a fresh one; a wrong count or an element without keys gives NULL.
TEST(OconfdKeypath, KeysOfTheNamedInstance)
{
    zt::LogCapture logs;
    confd_hkeypath_t kp = tloc_path_kp();
    confd_value_t keys[3];
    ASSERT_EQ(keys, oconfd_keypath_get_keys(&kp, keys, 3, k_tloc));
    EXPECT_EQ(C_IPV4, keys[0].type);
    EXPECT_EQ(htonl(0x0a000001), keys[0].val.ip.s_addr);
    EXPECT_EQ(4, keys[1].val.enumvalue);
    EXPECT_EQ(2, keys[2].val.enumvalue);

    confd_value_t *fresh = oconfd_keypath_get_keys(&kp, nullptr, 1, k_path);
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(9u, fresh[0].val.u32);
    free(fresh);

    EXPECT_EQ(nullptr, oconfd_keypath_get_keys(&kp, keys, 2, k_tloc));
    EXPECT_TRUE(logs.contains("Number of keys given (2) != number of keys found (3) !")) << logs.dump();
    EXPECT_EQ(nullptr, oconfd_keypath_get_keys(&kp, keys, 1, k_tlocs));
    EXPECT_TRUE(logs.contains("Number of keys given (1) != number of keys found (0) !")) << logs.dump();
}
