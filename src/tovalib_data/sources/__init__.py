"""Where tables come from: databases (`database`, its `catalog` and column
reader `dbcolumns`), files (`files`) and Arrow data (`arrow`)."""
