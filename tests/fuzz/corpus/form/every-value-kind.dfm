object Main: TTestForm
  object Panel: TItem
    Size = 7
    Caption = 'It''s'#13#10 +
      'two lines'
    object Inner: TItem
      Size = szBig
      On = True
      Shape = shSquare
      Flags = [flA, flC]
      Pen.Width = 3
      Pen.Style = 'dash'
      Lines.Strings = (
        'one'
        'two')
      Buddy = Panel
      OnPing = Ping
    end
  end
  object Last: TItem
    Size = -5
    Buddy = Inner
  end
end
