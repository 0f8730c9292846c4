// Parameter lists of the configuration layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "configlayer.h"

// Private to the configuration layer; declared here to test how output nodes are built.
t_configlayerErrorCode ConfiglayerParamExtendedAdd(t_configlayerParam** params, const CHAR* name,
                                                   const CHAR* value, t_paramType type, INT32S nElem,
                                                   INT32S responseTime);

namespace {

// Owns a list for the length of a test.
struct List {
    t_configlayerParam* head = nullptr;
    ~List() { ConfiglayerParamsDestroy(head); }
};

std::vector<std::string> names(const t_configlayerParam* p) {
    std::vector<std::string> out;
    for (; p != nullptr; p = p->next) out.emplace_back(p->name);
    return out;
}

using Names = std::vector<std::string>;

TEST(ConfiglayerParams, AddBuildsNodesInOrder) {
    List l;
    std::string name = "SYSTEM.PRODUCTION.MAC_ADDR", value = "00:11:22:33:44:55";
    ASSERT_EQ(ConfiglayerParamAdd(&l.head, name.c_str(), value.c_str()), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(ConfiglayerParamAdd(&l.head, "B", nullptr), CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(ConfiglayerParamAdd(&l.head, "B", "again"), CONFIGLAYER_ERROR_NONE);  // duplicates stay
    EXPECT_EQ(names(l.head), (Names{"SYSTEM.PRODUCTION.MAC_ADDR", "B", "B"}));
    // The node holds copies of its strings.
    name[0] = 'X';
    value[0] = 'X';
    EXPECT_STREQ(l.head->name, "SYSTEM.PRODUCTION.MAC_ADDR");
    EXPECT_STREQ(l.head->value, "00:11:22:33:44:55");
    EXPECT_EQ(l.head->type, PARAM_TYPE_STRING);
    EXPECT_EQ(l.head->nElem, 0);
    EXPECT_EQ(l.head->responseTime, 0);
    EXPECT_EQ(l.head->next->value, nullptr);
    EXPECT_EQ(l.head->next->type, PARAM_TYPE_NOT_DEFINED);
    EXPECT_EQ(ConfiglayerParamAdd(nullptr, "A", "1"), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerParamAdd(&l.head, nullptr, "1"), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(names(l.head).size(), 3u);
}

TEST(ConfiglayerParams, ExtendedAddKeepsTypeCountAndTimeOnlyWithValue) {
    List l;
    ASSERT_EQ(ConfiglayerParamExtendedAdd(&l.head, "A", "1,2", PARAM_TYPE_INT8U, 2, 17),
              CONFIGLAYER_ERROR_NONE);
    ASSERT_EQ(ConfiglayerParamExtendedAdd(&l.head, "B", nullptr, PARAM_TYPE_ERROR, 1, 17),
              CONFIGLAYER_ERROR_NONE);
    const t_configlayerParam* a = l.head;
    EXPECT_EQ(a->type, PARAM_TYPE_INT8U);
    EXPECT_EQ(a->nElem, 2);
    EXPECT_EQ(a->responseTime, 17);
    const t_configlayerParam* b = a->next;
    EXPECT_EQ(b->type, PARAM_TYPE_NOT_DEFINED);  // whatever type was passed
    EXPECT_EQ(b->nElem, 1);
    EXPECT_EQ(b->responseTime, 0);
    EXPECT_EQ(b->next, nullptr);
}

TEST(ConfiglayerParams, ShiftPushUnshift) {
    List l;
    t_configlayerParam* removed = reinterpret_cast<t_configlayerParam*>(&l);  // must be overwritten
    EXPECT_EQ(ConfiglayerParamsShift(&l.head, &removed), CONFIGLAYER_ERROR_NONE);
    EXPECT_EQ(removed, nullptr);
    for (const char* n : {"A", "B", "C"}) ConfiglayerParamAdd(&l.head, n, nullptr);

    ASSERT_EQ(ConfiglayerParamsShift(&l.head, &removed), CONFIGLAYER_ERROR_NONE);
    EXPECT_STREQ(removed->name, "A");
    EXPECT_EQ(removed->next, nullptr);
    EXPECT_EQ(names(l.head), (Names{"B", "C"}));

    ASSERT_EQ(ConfiglayerParamUnshift(&l.head, removed), CONFIGLAYER_ERROR_NONE);
    EXPECT_EQ(names(l.head), (Names{"A", "B", "C"}));

    // Pushing a node that still has followers cuts them off.
    List other;
    for (const char* n : {"X", "Y"}) ConfiglayerParamAdd(&other.head, n, nullptr);
    t_configlayerParam* x = nullptr;
    ConfiglayerParamsShift(&other.head, &x);
    x->next = other.head;
    ASSERT_EQ(ConfiglayerParamsPush(&l.head, x), CONFIGLAYER_ERROR_NONE);
    EXPECT_EQ(names(l.head), (Names{"A", "B", "C", "X"}));
    EXPECT_EQ(names(other.head), (Names{"Y"}));

    List single;
    t_configlayerParam* only = nullptr;
    ConfiglayerParamAdd(&only, "only", "v");
    ConfiglayerParamsPush(&single.head, only);
    ConfiglayerParamsShift(&single.head, &removed);
    EXPECT_EQ(single.head, nullptr);  // a one-node list becomes empty
    ConfiglayerParamDestroy(removed);
    ConfiglayerParamDestroy(nullptr);

    EXPECT_EQ(ConfiglayerParamsShift(nullptr, &removed), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerParamsShift(&l.head, nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerParamsPush(&l.head, nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerParamsPush(nullptr, l.head), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerParamUnshift(&l.head, nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(ConfiglayerParamUnshift(nullptr, l.head), CONFIGLAYER_ERROR_BAD_ARGS);
    EXPECT_EQ(names(l.head).size(), 4u);
}

TEST(ConfiglayerParams, CopyIsDeepAndKeepsOrder) {
    List original, copy;
    ConfiglayerParamExtendedAdd(&original.head, "A", "YES", PARAM_TYPE_BOOL, 1, 40);
    ConfiglayerParamExtendedAdd(&original.head, "B", nullptr, PARAM_TYPE_STRING, 0, 0);
    ConfiglayerParamExtendedAdd(&original.head, "C", "OK", PARAM_TYPE_SET_OK, 1, 9);
    ASSERT_EQ(ConfiglayerParamsCopy(original.head, &copy.head), CONFIGLAYER_ERROR_NONE);
    EXPECT_EQ(names(copy.head), (Names{"A", "B", "C"}));
    for (const t_configlayerParam *o = original.head, *c = copy.head; o != nullptr;
         o = o->next, c = c->next) {
        EXPECT_NE(o->name, c->name);
        EXPECT_EQ(c->type, o->type);
        EXPECT_EQ(c->nElem, o->nElem);
        EXPECT_EQ(c->responseTime, 0);  // not carried over
        if (o->value == nullptr) {
            EXPECT_EQ(c->value, nullptr);
        } else {
            EXPECT_STREQ(c->value, o->value);
            EXPECT_NE(c->value, o->value);
        }
    }
    t_configlayerParam* empty = original.head;  // must be cleared
    EXPECT_EQ(ConfiglayerParamsCopy(nullptr, &empty), CONFIGLAYER_ERROR_NONE);
    EXPECT_EQ(empty, nullptr);
    EXPECT_EQ(ConfiglayerParamsCopy(original.head, nullptr), CONFIGLAYER_ERROR_BAD_ARGS);
}

}  // namespace
