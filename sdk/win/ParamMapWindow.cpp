// The window side of a parameter map: the rollout built from the descriptor's dialog template,
// every control named in a p_ui list set up from its parameter, and values moving both ways.
// Block to control: Invalidate (the owner asks for it when told of a change) shows the value at
// the current time. Control to block: spinners, edit fields, swatches, check boxes, check buttons
// and integer lists set the parameter at the current time.
#include <windows.h>

#include <cfloat>
#include <climits>

#include "../ParamMapImpl.h"
#include "custcont.h"
#include "imtl.h"
#include "maxapi.h"

namespace {

TimeValue Now() {
  return GetCOREInterface()->GetTime();
}

// The parameter whose control has this id, or null. The spinner of a pair counts too.
const ParamDef* DefOfControl(ParamBlockDesc2* desc, int ctrlID) {
  for (const ParamDef& def : desc->paramdefs) {
    if (!def.has_ui) continue;
    for (int id : def.ctrl_IDs) {
      if (id == ctrlID) return &def;
    }
  }
  return nullptr;
}

}  // namespace

INT_PTR CALLBACK ParamMap::RolloutProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* map = reinterpret_cast<ParamMap*>(lParam);
    SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    map->hWnd_ = hWnd;
    map->InitControls();
    map->CallUserProc(WM_INITDIALOG, wParam, lParam);
    // A rollout takes no keyboard focus when it is built.
    return FALSE;
  }
  auto* map = reinterpret_cast<ParamMap*>(GetWindowLongPtrW(hWnd, DWLP_USER));
  if (!map) return FALSE;
  const INT_PTR r = map->HandleMessage(msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hWnd, DWLP_USER, 0);
    map->hWnd_ = nullptr;
  }
  return r;
}

INT_PTR ParamMap::CallUserProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  ParamMap2UserDlgProc* proc = desc_->GetUserDlgProc();
  return proc && hWnd_ ? proc->DlgProc(Now(), this, hWnd_, msg, wParam, lParam) : FALSE;
}

INT_PTR ParamMap::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  // The plug-in's procedure sees every message first; what it handles stops here.
  if (CallUserProc(msg, wParam, lParam)) return TRUE;
  switch (msg) {
    case WM_COMMAND:
      TakeValueFrom(LOWORD(wParam), msg, wParam);
      return FALSE;
    case CC_SPINNER_CHANGE:
    case CC_COLOR_CHANGE:
      TakeValueFrom(LOWORD(wParam), msg, wParam);
      return TRUE;
    default:
      return FALSE;
  }
}

void ParamMap::InitControls() {
  for (const ParamDef& def : desc_->paramdefs) {
    if (!def.has_ui || def.ctrl_IDs.empty()) continue;
    HWND first = GetDlgItem(hWnd_, def.ctrl_IDs[0]);
    switch (def.ctrl_type) {
      case TYPE_SPINNER: {
        if (def.ctrl_IDs.size() < 2) break;
        ISpinnerControl* spin = nullptr;
        if (def.spin_type == EDITTYPE_INT) {
          spin = SetupIntSpinner(hWnd_, def.ctrl_IDs[1], def.ctrl_IDs[0],
                                 def.has_range ? def.range_low.i : INT_MIN,
                                 def.has_range ? def.range_high.i : INT_MAX, 0);
        } else {
          spin = SetupFloatSpinner(hWnd_, def.ctrl_IDs[1], def.ctrl_IDs[0],
                                   def.has_range ? def.range_low.f : -FLT_MAX,
                                   def.has_range ? def.range_high.f : FLT_MAX, 0.0f,
                                   def.scale > 0.0f ? def.scale : 0.1f);
        }
        if (spin) {
          spin->SetAutoScale(def.scale == SPIN_AUTOSCALE);
          ReleaseISpinner(spin);
        }
        break;
      }
      case TYPE_CHECKBUTTON:
        if (ICustButton* b = GetICustButton(first)) {
          b->SetType(CBT_CHECK);
          ReleaseICustButton(b);
        }
        break;
      case TYPE_INTLISTBOX:
        // Items given with the definition; lists without them are filled by the plug-in.
        for (int sid : def.item_IDs) {
          const MCHAR* text = desc_->cd ? desc_->cd->GetRsrcString(sid) : nullptr;
          SendMessageW(first, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text ? text : L""));
        }
        break;
      default:
        break;
    }
    ShowValue(def);
  }
}

void ParamMap::ShowValue(const ParamDef& def) {
  if (!hWnd_ || def.ctrl_IDs.empty()) return;
  const TimeValue t = Now();
  HWND first = GetDlgItem(hWnd_, def.ctrl_IDs[0]);
  Interval iv = FOREVER;
  switch (def.ctrl_type) {
    case TYPE_SPINNER:
      if (def.ctrl_IDs.size() >= 2) {
        if (ISpinnerControl* spin = GetISpinner(GetDlgItem(hWnd_, def.ctrl_IDs[1]))) {
          if (def.type == TYPE_FLOAT) {
            float v = 0.0f;
            block_->GetValue(def.ID, t, v, iv);
            spin->SetValue(v, FALSE);
          } else {
            int v = 0;
            block_->GetValue(def.ID, t, v, iv);
            spin->SetValue(v, FALSE);
          }
          ReleaseISpinner(spin);
        }
      }
      break;
    case TYPE_SINGLECHEKBOX: {
      int v = 0;
      block_->GetValue(def.ID, t, v, iv);
      CheckDlgButton(hWnd_, def.ctrl_IDs[0], v ? BST_CHECKED : BST_UNCHECKED);
      break;
    }
    case TYPE_CHECKBUTTON:
      if (ICustButton* b = GetICustButton(first)) {
        int v = 0;
        block_->GetValue(def.ID, t, v, iv);
        b->SetCheck(v != 0);
        ReleaseICustButton(b);
      }
      break;
    case TYPE_COLORSWATCH:
      if (IColorSwatch* sw = GetIColorSwatch(first)) {
        Color c;
        block_->GetValue(def.ID, t, c, iv);
        sw->SetColor(c, FALSE);
        ReleaseIColorSwatch(sw);
      }
      break;
    case TYPE_TEXMAPBUTTON:
      if (ICustButton* b = GetICustButton(first)) {
        Texmap* m = nullptr;
        block_->GetValue(def.ID, t, m, iv);
        MSTR name = L"None";
        if (m) m->GetClassName(name);
        b->SetText(name.c_str());
        ReleaseICustButton(b);
      }
      break;
    case TYPE_INTLISTBOX: {
      int v = 0;
      block_->GetValue(def.ID, t, v, iv);
      SendMessageW(first, CB_SETCURSEL, static_cast<WPARAM>(v), 0);
      break;
    }
    default:
      break;
  }
}

void ParamMap::EnableControls(const ParamDef& def, bool on) {
  for (int id : def.ctrl_IDs) {
    if (HWND h = GetDlgItem(hWnd_, id)) EnableWindow(h, on);
  }
}

void ParamMap::TakeValueFrom(int ctrlID, UINT msg, WPARAM wParam) {
  const ParamDef* def = DefOfControl(desc_, ctrlID);
  if (!def) return;
  const TimeValue t = Now();
  HWND ctrl = GetDlgItem(hWnd_, ctrlID);
  switch (def->ctrl_type) {
    case TYPE_SPINNER:
      if (msg == CC_SPINNER_CHANGE) {
        if (ISpinnerControl* spin = GetISpinner(ctrl)) {
          if (def->type == TYPE_FLOAT)
            block_->SetValue(def->ID, t, spin->GetFVal());
          else
            block_->SetValue(def->ID, t, spin->GetIVal());
          ReleaseISpinner(spin);
        }
      }
      break;
    case TYPE_SINGLECHEKBOX:
      if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        block_->SetValue(def->ID, t, IsDlgButtonChecked(hWnd_, ctrlID) == BST_CHECKED ? 1 : 0);
      }
      break;
    case TYPE_CHECKBUTTON:
      if (msg == WM_COMMAND) {
        if (ICustButton* b = GetICustButton(ctrl)) {
          block_->SetValue(def->ID, t, b->IsChecked() ? 1 : 0);
          ReleaseICustButton(b);
        }
      }
      break;
    case TYPE_COLORSWATCH:
      if (msg == CC_COLOR_CHANGE) {
        if (IColorSwatch* sw = GetIColorSwatch(ctrl)) {
          block_->SetValue(def->ID, t, sw->GetColor());
          ReleaseIColorSwatch(sw);
        }
      }
      break;
    case TYPE_INTLISTBOX:
      if (msg == WM_COMMAND && HIWORD(wParam) == CBN_SELCHANGE) {
        const LRESULT sel = SendMessageW(ctrl, CB_GETCURSEL, 0, 0);
        if (sel != CB_ERR) block_->SetValue(def->ID, t, static_cast<int>(sel));
      }
      break;
    default:
      // Map buttons open the host's map browser, which this host does not have.
      break;
  }
}
