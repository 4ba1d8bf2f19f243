// Tables that turn into one card per row on a narrow screen: each cell carries its column's
// header as `data-label`, which the style sheet shows before the cell's content.

// Labels every body cell of `table` without a `data-label` by the header of the column it
// starts in. Row-spanning cells are followed, so later rows' cells find their own columns; cells
// that span columns (a table's "nothing here" row) stay unlabelled.
export function labelCells(table) {
  const headRow = table.tHead?.rows[table.tHead.rows.length - 1];
  if (!headRow) return;
  const heads = [];
  for (const th of headRow.cells) for (let i = 0; i < th.colSpan; i += 1) heads.push(th.textContent.trim());
  const spanned = [];  // per column: rows still covered by a cell from above
  for (const body of table.tBodies) {
    for (const row of body.rows) {
      let col = 0;
      for (const cell of row.cells) {
        while (spanned[col] > 0) col += 1;
        if (cell.colSpan === 1 && !cell.hasAttribute('data-label') && heads[col]) cell.dataset.label = heads[col];
        for (let i = 0; i < cell.colSpan; i += 1) spanned[col + i] = cell.rowSpan;
        col += cell.colSpan;
      }
      for (let i = 0; i < spanned.length; i += 1) if (spanned[i] > 0) spanned[i] -= 1;
    }
  }
}
