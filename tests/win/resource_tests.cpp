// The compiled pictures as the program loads them: each tray icon carries a
// drawn image for every size the shell asks for (16 px at 100 % up to 48),
// and the link picture stays a 64 by 51, 16-colour bitmap on the dialog grey.
#include <windows.h>

#include <gtest/gtest.h>

#include "res/resource_ids.h"

namespace {

constexpr uint32_t ICON_IDS[] = {IDI_NO_LINK, IDI_NO_DEVICE, IDI_LINK_UP};
constexpr int ICON_SIZES[] = {16, 20, 24, 32, 48};

const void* LockResourceOf(LPCSTR name, LPCSTR type) {
  const HMODULE module = GetModuleHandleA(nullptr);
  const HRSRC found = FindResourceA(module, name, type);
  return found ? LockResource(LoadResource(module, found)) : nullptr;
}

TEST(Pictures, EveryIconHoldsEachSizeAsDrawn) {
  for (const uint32_t id : ICON_IDS) {
    auto* group = static_cast<BYTE*>(const_cast<void*>(LockResourceOf(MAKEINTRESOURCEA(id), RT_GROUP_ICON)));
    ASSERT_NE(group, nullptr) << id;
    for (const int size : ICON_SIZES) {
      // The image the system picks for this size must be one of exactly this
      // size, not a neighbour it would stretch.
      const int image = LookupIconIdFromDirectoryEx(group, TRUE, size, size, LR_DEFAULTCOLOR);
      auto* header = static_cast<const BITMAPINFOHEADER*>(LockResourceOf(MAKEINTRESOURCEA(image), RT_ICON));
      ASSERT_NE(header, nullptr) << id << " " << size;
      EXPECT_EQ(header->biWidth, size) << id;
      EXPECT_EQ(header->biHeight, 2 * size) << id;  // colour rows and mask rows
      EXPECT_EQ(header->biBitCount, 32) << id << " " << size;

      const HICON icon = static_cast<HICON>(
          LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0));
      ASSERT_NE(icon, nullptr) << id << " " << size;
      ICONINFO info{};
      ASSERT_TRUE(GetIconInfo(icon, &info));
      BITMAP colour{};
      ASSERT_NE(GetObjectA(info.hbmColor, sizeof colour, &colour), 0);
      EXPECT_EQ(colour.bmWidth, size) << id;
      EXPECT_EQ(colour.bmHeight, size) << id;
      DeleteObject(info.hbmColor);
      DeleteObject(info.hbmMask);
      DestroyIcon(icon);
    }
  }
}

TEST(Pictures, LinkBitmapIsSixteenColoursOnDialogGrey) {
  const auto bitmap = static_cast<HBITMAP>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_LINK),
                                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  ASSERT_NE(bitmap, nullptr);
  DIBSECTION dib{};
  ASSERT_EQ(GetObjectA(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
  EXPECT_EQ(dib.dsBm.bmWidth, 64);
  EXPECT_EQ(dib.dsBm.bmHeight, 51);
  EXPECT_EQ(dib.dsBm.bmBitsPixel, 4);

  const HDC dc = CreateCompatibleDC(nullptr);
  const HGDIOBJ previous = SelectObject(dc, bitmap);
  EXPECT_EQ(GetPixel(dc, 0, 0), RGB(192, 192, 192));
  EXPECT_EQ(GetPixel(dc, 63, 50), RGB(192, 192, 192));
  SelectObject(dc, previous);
  DeleteDC(dc);
  DeleteObject(bitmap);
}

}  // namespace
