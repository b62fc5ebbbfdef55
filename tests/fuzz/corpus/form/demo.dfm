object Form1: TForm1
  Left = 308
  Top = 209
  BorderStyle = bsDialog
  Caption = 'Bluetooth demo - kv communication components'
  ClientHeight = 373
  ClientWidth = 471
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  OnClose = FormClose
  OnShow = FormShow
  PixelsPerInch = 96
  TextHeight = 13
  object Label1: TLabel
    Left = 16
    Top = 72
    Width = 40
    Height = 13
    Caption = 'Terminal'
  end
  object Label2: TLabel
    Left = 232
    Top = 280
    Width = 18
    Height = 13
    Caption = 'Log'
  end
  object kvDeviceBox1: TkvDeviceBox
    Left = 16
    Top = 40
    Width = 201
    Height = 21
    ItemHeight = 13
    TabOrder = 1
    kvLink = kvBT1
    ResetOnChanged = False
  end
  object CheckBox1: TCheckBox
    Left = 16
    Top = 16
    Width = 97
    Height = 17
    Caption = 'Connect'
    TabOrder = 0
    OnClick = CheckBox1Click
  end
  object Button1: TButton
    Left = 232
    Top = 40
    Width = 41
    Height = 22
    Caption = '..'
    TabOrder = 2
    OnClick = Button1Click
  end
  object GroupBox1: TGroupBox
    Left = 232
    Top = 83
    Width = 233
    Height = 190
    Caption = ' Params '
    TabOrder = 4
    object chAuthenticated: TCheckBox
      Left = 16
      Top = 24
      Width = 97
      Height = 17
      Caption = 'Authenticated'
      TabOrder = 0
    end
    object chRemembered: TCheckBox
      Left = 16
      Top = 48
      Width = 97
      Height = 17
      Caption = 'Remembered'
      TabOrder = 1
    end
    object chUnknown: TCheckBox
      Left = 16
      Top = 72
      Width = 97
      Height = 17
      Caption = 'Unknown'
      TabOrder = 2
    end
    object chConnected: TCheckBox
      Left = 16
      Top = 96
      Width = 97
      Height = 17
      Caption = 'Connected'
      TabOrder = 3
    end
    object chInquiry: TCheckBox
      Left = 16
      Top = 120
      Width = 97
      Height = 17
      Caption = 'Inquiry'
      TabOrder = 4
    end
    object Button2: TButton
      Left = 16
      Top = 150
      Width = 75
      Height = 25
      Caption = 'Update'
      TabOrder = 5
      OnClick = Button2Click
    end
    object Button3: TButton
      Left = 128
      Top = 150
      Width = 75
      Height = 25
      Caption = 'Select (win)'
      TabOrder = 9
      OnClick = Button3Click
    end
    object chForceAuth: TCheckBox
      Left = 128
      Top = 24
      Width = 81
      Height = 17
      Caption = 'Force Auth.'
      TabOrder = 6
    end
    object chAddWiz: TCheckBox
      Left = 128
      Top = 48
      Width = 81
      Height = 17
      Caption = 'Add Wizard'
      TabOrder = 7
    end
    object chSkipServices: TCheckBox
      Left = 128
      Top = 72
      Width = 89
      Height = 17
      Caption = 'Skip Services'
      TabOrder = 8
    end
  end
  object Memo1: TMemo
    Left = 16
    Top = 88
    Width = 201
    Height = 273
    Color = clBtnFace
    Enabled = False
    Font.Charset = DEFAULT_CHARSET
    Font.Color = clWindowText
    Font.Height = -11
    Font.Name = 'Courier'
    Font.Style = []
    Lines.Strings = (
      'Memo1')
    ParentFont = False
    TabOrder = 3
  end
  object ListBox1: TListBox
    Left = 232
    Top = 296
    Width = 233
    Height = 65
    Color = clInfoBk
    ItemHeight = 13
    TabOrder = 5
  end
  object kvBT1: TkvBT
    RadioIndex = 0
    DeviceEnum = [bteRemembered, bteConnected, bteAllRadios]
    DeviceEnumTimeout = 5
    Terminal = Memo1
    TerminalUsage = tuBoth
    TerminalEcho = False
    Priority = tpNormal
    UseMainThread = False
    OnConnect = kvBT1Connect
    OnDisconnect = kvBT1Disconnect
    DeviceIndex = -1
    OnFatalError = kvBT1FatalError
    Active = False
  end
end
