x = #1/2/2003# + &HFF& + 1.5e3 + [odd name]
