// The Gen. Bin File page: loads an image into the working copy (the page
// context's ModifyImage) and checks it for the descriptor table marker.
#pragma once

#include <QObject>
#include <memory>
#include <filesystem>
#include <string>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace korvalen {

class LabeledEdit;
class PageContext;

class GenBinPage : public QObject {
  Q_OBJECT

 public:
  GenBinPage(PageContext& context, QWidget* tab);

  QLabel* Label13 = nullptr;
  QPushButton* CurrentFileBitBtn = nullptr;
  QLabel* lblCurrentFilePath = nullptr;
  QPushButton* btnCheck = nullptr;
  QLabel* lblStatusReport = nullptr;
  // Why the chosen file did not load, when it did not.
  QLabel* lblModifyFileNote = nullptr;
  QLabel* lblSaveDone = nullptr;
  QGroupBox* GroupBox9 = nullptr;
  LabeledEdit* labedtNewVID = nullptr;
  LabeledEdit* labedtNewPID = nullptr;
  QLineEdit* edtNewStr0 = nullptr;
  QLineEdit* edtNewStr1 = nullptr;
  QLineEdit* edtNewStr2 = nullptr;
  QLineEdit* edtNewStr3 = nullptr;
  QLineEdit* edtNewStr4 = nullptr;
  QPushButton* btnSaveBitBin = nullptr;
  QLabel* lblSaveBinPath = nullptr;
  QPushButton* btnSaveBin = nullptr;

  // The output path chosen with New File. Nothing writes to it yet: no
  // layout of the descriptor table is defined, and a guessed one would
  // corrupt the image.
  std::filesystem::path NewBinFilePath;

  void CurrentFileBitBtnClick();
  void ReadModifyFile();
  bool FindTableMarker();
  void btnCheckClick();
  void btnSaveBitBinClick();
  void btnSaveBinClick();

 private:
  void Build(QWidget* tab);

  PageContext& context_;
};

}  // namespace korvalen
