// The page's own figures (performance measures, read by the browser tests and
// docs/performance.md), kept out of the views: begin(name) marks the start of an action,
// figure(name, from) measures from the mark `from` (navigation start without one) to now,
// and figureDrawn([name, from], ...) to the first frame drawn after now, layout and paint
// included.
export const begin = (name) => performance.mark(`kivo-${name}-start`);

export const figure = (name, from) => performance.measure(`kivo-${name}`, from && `kivo-${from}-start`);

export function figureDrawn(...figures) {
  requestAnimationFrame(() => setTimeout(() => {
    for (const [name, from] of figures) figure(name, from);
  }));
}
