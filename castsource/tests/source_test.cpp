// The component as a container sees it: registration, creation by class id,
// Load/GetCurFile, one identity across its interfaces, and an element that
// refuses to start without a stream.
#include "castsource_testing.h"

#include "platform/com/comreg.h"

namespace {

using namespace castsourcetest;

using SourceTest = RegisteredSource;

TEST_F(SourceTest, RegistrationWritesTheExtensionAndClassKeysAndUnregistrationRemovesThem)
{
    const std::string id = "{EFD7EA8D-A55B-4D14-8612-3E97DFBB2023}";
    const std::string cls = "CLSID\\" + id;
    RegKey key;
    RegValue value;
    ASSERT_EQ(key.Open(RegRoot::ClassesRoot, "Media Type\\Extensions\\.qsl"), RegResult::Success);
    ASSERT_EQ(key.QueryValue("Source Filter", value), RegResult::Success);
    // A text value whose length leaves out the terminating NUL.
    EXPECT_EQ(value.type, REG_SZ);
    EXPECT_EQ(std::string(value.data.begin(), value.data.end()), id);
    std::string text;
    EXPECT_TRUE(comreg::ReadText(cls, "", text));
    EXPECT_EQ(text, "Veltora Multicast Source");
    EXPECT_TRUE(comreg::ReadText(cls + "\\InprocServer32", "", text));
    EXPECT_EQ(text, std::filesystem::canonical(QV_CASTSOURCE_PATH).string());
    ASSERT_EQ(key.Open(RegRoot::ClassesRoot, cls), RegResult::Success);
    ASSERT_EQ(key.QueryValue("Merit", value), RegResult::Success);
    EXPECT_EQ(value, MakeDwordValue("Merit", 0x400000));

    ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
    EXPECT_EQ(key.Open(RegRoot::ClassesRoot, "Media Type\\Extensions\\.qsl"), RegResult::NotFound);
    EXPECT_EQ(key.Open(RegRoot::ClassesRoot, cls), RegResult::NotFound);
}

TEST_F(SourceTest, LoadMakesTheSourceReadyOnlyForQslNames)
{
    const struct
    {
        const char* name;
        bool ready;
    } cases[] = {
        {"/streams/news.QsL", true},
        {"/streams/news.qsl.txt", false},
        {"/streams/news", false},
        {"c:\\streams.qsl\\news", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IQvFileSourceFilter> source = MakeSource();
        char16_t* name = nullptr;
        EXPECT_EQ(source->GetCurFile(&name, nullptr), E_FAIL);
        ASSERT_EQ(source->Load(Wide(c.name).c_str(), nullptr), S_OK);
        EXPECT_EQ(source->IsSourceReady(), c.ready);
        EXPECT_EQ(source->Load(u"/other.qsl", nullptr), E_FAIL);
        EXPECT_EQ(source->GetFilename(), c.name);
        ASSERT_EQ(source->GetCurFile(&name, nullptr), S_OK);
        EXPECT_EQ(std::u16string(name), Wide(c.name));
        CoTaskMemFree(name);
    }
}

// A plain object whose references can be counted.
class Counted final : public ComObject<IUnknown>
{
public:
    using ComObject::ComObject;
    ULONG Count() { return (AddRef(), Release()); }
};

TEST_F(SourceTest, MediaTypesAreCopiedDeeplyAndNoTypeStoresAnEmptyOne)
{
    ComPtr<Counted> extra(new Counted(nullptr));
    std::uint8_t format[3] = {1, 2, 3};
    AM_MEDIA_TYPE given;
    given.lSampleSize = 188;
    given.cbFormat = sizeof(format);
    given.pbFormat = format;
    given.pUnk = extra.Get();
    ComPtr<IQvFileSourceFilter> typed = MakeSource();
    ASSERT_EQ(typed->Load(u"/a.qsl", &given), S_OK);
    format[0] = 9; // the caller's block stays the caller's

    AM_MEDIA_TYPE back;
    char16_t* name = nullptr;
    ASSERT_EQ(typed->GetCurFile(&name, &back), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(back.lSampleSize, 188u);
    ASSERT_EQ(back.cbFormat, 3u);
    EXPECT_EQ(Bytes(back.pbFormat, back.pbFormat + 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(extra->Count(), 3u); // ours, the stored copy's and the copy handed back
    FreeMediaType(back);
    typed.Reset();
    EXPECT_EQ(extra->Count(), 1u);

    ComPtr<IQvFileSourceFilter> untyped = MakeSource();
    ASSERT_EQ(untyped->Load(u"/a.qsl", nullptr), S_OK);
    back.lSampleSize = 7;
    ASSERT_EQ(untyped->GetCurFile(&name, &back), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(back.lSampleSize, 0u);
    EXPECT_EQ(back.pbFormat, nullptr);
}

TEST_F(SourceTest, EveryInterfaceSharesOneIdentityAndOneCount)
{
    ComPtr<IQvFileSourceFilter> source = MakeSource();
    ComPtr<IQvSourceElement> element = source.As<IQvSourceElement>();
    ASSERT_TRUE(element);
    EXPECT_EQ(source.As<IUnknown>(), element.As<IUnknown>());
    EXPECT_EQ(element.As<IQvFileSourceFilter>(), source);
    const ULONG added = element->AddRef(); // one count for the whole object
    EXPECT_EQ(source->Release(), added - 1);

    // Aggregated, every interface answers for the outer object.
    ComPtr<Counted> outer(new Counted(nullptr));
    ComPtr<IUnknown> inner;
    ASSERT_EQ(CoCreateInstance(CLSID_QvMulticastSource, outer.Get(), IID_IUnknown, inner.PutVoid()),
              S_OK);
    ComPtr<IQvFileSourceFilter> part = inner.As<IQvFileSourceFilter>();
    ASSERT_TRUE(part);
    EXPECT_EQ(part.As<IUnknown>().Get(), static_cast<IUnknown*>(outer.Get()));
    EXPECT_FALSE(part.As<IQvSourceElement>());
}

TEST_F(SourceTest, AnElementWithoutAStreamRefusesToStartWithAClearError)
{
    for (const char* name : {"", "/streams/news.qsl.txt"}) {
        SCOPED_TRACE(name);
        ComPtr<IQvFileSourceFilter> source = MakeSource();
        if (*name != '\0') {
            ASSERT_EQ(source->Load(Wide(name).c_str(), nullptr), S_OK);
        }
        GstElement* element = source.As<IQvSourceElement>()->GetElement();
        EXPECT_STREQ(GST_OBJECT_NAME(gst_element_get_factory(element)), "castsource");
        DecodePipeline pipeline(element);
        EXPECT_EQ(pipeline.SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        std::string error;
        EXPECT_EQ(pipeline.WaitForEnd(&error), GST_MESSAGE_ERROR);
        EXPECT_NE(error.find("no stream to read"), std::string::npos) << error;
    }
}

} // namespace
