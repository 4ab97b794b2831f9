// SPDX-License-Identifier: GPL-3.0-or-later

#include <gtest/gtest.h>

#include <QPluginLoader>
#include <QWidget>
#include <set>
#ifdef KELMORA_DESIGNER_PLUGIN
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#endif

#include "widgets/qt_application.h"

namespace {

TEST(DesignerPlugin, ListsTheSevenSampleWidgetsAndCreatesEachOne) {
#ifndef KELMORA_DESIGNER_PLUGIN
  GTEST_SKIP() << "the Designer plugin is not built (Qt's UiPlugin package is missing)";
#else
  QPluginLoader loader(QStringLiteral(KELMORA_DESIGNER_PLUGIN));
  QObject* instance = loader.instance();
  ASSERT_NE(instance, nullptr) << loader.errorString().toStdString();
  auto* collection = qobject_cast<QDesignerCustomWidgetCollectionInterface*>(instance);
  ASSERT_NE(collection, nullptr);

  const std::set<std::string> expected = {
      "kelmora::widgets::TCCalendar",       "kelmora::widgets::TCDirectoryOutline",
      "kelmora::widgets::TCColorGrid",      "kelmora::widgets::TTimerSpeedButton",
      "kelmora::widgets::TCSpinButton",     "kelmora::widgets::TCSpinEdit",
      "kelmora::widgets::TPerformanceGraph"};
  std::set<std::string> listed;
  QWidget form;
  for (QDesignerCustomWidgetInterface* entry : collection->customWidgets()) {
    const std::string name = entry->name().toStdString();
    listed.insert(name);
    QWidget* widget = entry->createWidget(&form);
    ASSERT_NE(widget, nullptr) << name;
    EXPECT_EQ(widget->metaObject()->className(), name);
    EXPECT_EQ(widget->parentWidget(), &form) << name;
    EXPECT_TRUE(entry->domXml().contains(entry->name())) << name;
    EXPECT_TRUE(entry->includeFile().startsWith("widgets/samples/")) << name;
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(collection->customWidgets().size(), 7);
#endif
}

}  // namespace
